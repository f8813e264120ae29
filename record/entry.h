// Typing one person record in at the console: a prompt before each field,
// the answer read from the console's input.
#ifndef KARTOTEKA_RECORD_ENTRY_H_
#define KARTOTEKA_RECORD_ENTRY_H_

#include "console/dialogue.h"
#include "record/human.h"

// Runs the whole entry dialogue, telephone before the birth date, and
// returns the record. The sex prompt repeats until 0 or 1 is typed. When
// the input ends part-way, con.ended is set and the record returned is
// incomplete; the caller must not keep it.
human input_human(console& con);

// Prints the birth-date heading and reads day, month and year into
// birthday. Stops at the end of the input, with con.ended set.
void input_date(console& con, date& birthday);

// Prints the address heading and reads the seven address fields into
// address. Stops at the end of the input, with con.ended set.
void input_address(console& con, postal_address& address);

#endif  // KARTOTEKA_RECORD_ENTRY_H_
