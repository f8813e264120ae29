// The record file: a text file with one line per record, the eighteen
// fields in their canonical order, separated by one blank except the birth
// date's day, month and year, which are joined by full stops. Reading
// accepts any whitespace between fields; only the full stops must follow
// their numbers directly. Saving (menu choice 4) and loading (menu
// choice 5) live here.
#ifndef KARTOTEKA_STORAGE_FILE_H_
#define KARTOTEKA_STORAGE_FILE_H_

#include <cstdint>

#include "console/dialogue.h"
#include "menu/array.h"

// Asks for a file name and writes records 0 to n - 1 to it, one line each.
// The records go to a new file beside the target, which replaces the target
// only once everything is written and synced, so a failed save leaves an
// earlier file as it was. Returns 0 after printing "Выполнено!"; returns 1
// after reporting "name: reason" on the error stream, or when the input
// ends at the prompt.
int save_array(console& con, int32_t n, const massiv& Massiv);

// Asks for a file name and reads every record in the file into a new block.
// On success the new block replaces the array, "Выполнено!" is printed and
// the number of records read is returned. When the file cannot be opened or
// read, does not follow the format, or memory runs out, it reports that on
// the error stream and returns n with the array untouched; likewise when
// the input ends at the prompt.
int32_t load_array(console& con, massiv& Massiv, int32_t n);

// Appends the file line of h to out.
void write_record(sink& out, const human& h);

// Outcome of reading a record file.
enum load_status {
  load_ok,
  load_bad_format,  // a field does not follow the format, or is cut short
  load_no_memory,   // the block could not grow
  load_read_error,  // reading failed; in.error tells why
};

// Reads records from in until its end into fresh, which must have no block
// yet: it gets one with room for one record, and room for count + 1 after
// each record read. On load_ok count is the number of records; otherwise it
// is the number read before the one where reading stopped. Either way the
// caller owns fresh's block afterwards.
load_status read_records(source& in, massiv& fresh, int32_t& count);

// Writes records 0 to n - 1 to the file called name, replacing it as a
// whole as save_array describes. Returns 0, or the error of the step that
// failed.
os_error write_file(const char* name, int32_t n, const human* rec);

#endif  // KARTOTEKA_STORAGE_FILE_H_
