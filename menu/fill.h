// Putting typed records into the record array: filling a new array (menu
// choice 1) and adding one record to it (menu choice 3).
#ifndef KARTOTEKA_MENU_FILL_H_
#define KARTOTEKA_MENU_FILL_H_

#include "console/dialogue.h"
#include "record/array.h"

// Takes records one after another from position 0, each followed by the
// question whether to go on, until it is answered n or N; after each record
// the array is resized to room for the count + 2. Returns the number of
// records stored. When a resize fails it reports that on the error stream
// and returns the records stored so far; when the input ends it returns the
// records completed before the last question.
int32_t fill_array(console& con, massiv& Massiv);

// Resizes the array to room for n + 1 records, then takes one record into
// position n and adds 1 to n. When the resize fails it reports that and
// leaves the array and n as they were, without starting the dialogue; when
// the input ends during the dialogue, n stays as it was.
void add_record(console& con, massiv& Massiv, int32_t& n);

#endif  // KARTOTEKA_MENU_FILL_H_
