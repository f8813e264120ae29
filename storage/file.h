// The record file: a text file with one line per record, the eighteen
// fields in their canonical order, separated by one blank except the birth
// date's day, month and year, which are joined by full stops. Reading
// accepts any whitespace between fields; only the full stops must follow
// their numbers directly. A UTF-8 byte-order mark at the very start and an
// end-of-file mark (0x1A) as the very last byte, which Windows tools put
// there, are no part of the text and are skipped. Saving (menu choice 4)
// and loading (menu choice 5) live here.
#ifndef KARTOTEKA_STORAGE_FILE_H_
#define KARTOTEKA_STORAGE_FILE_H_

#include <cstdint>

#include "console/dialogue.h"
#include "record/array.h"
#include "storage/save.h"

// Asks for a file name and writes records 0 to n - 1 to it, one line each,
// as a whole (storage/save.h): a failed save leaves an
// earlier file as it was. Returns the save's status, which the menu
// ignores (everything the user needs to know has been printed by then):
//   0  saved: the file holds the records, and "Выполнено!" was printed;
//   1  not saved: "name: reason" was reported on the error stream and the
//      file is as it was, or the input ended at the prompt; where a file
//      written in place could not even be given its old contents back, a
//      second line says so and names the backup copy that holds them.
int save_array(console& con, int32_t n, const massiv& Massiv);

// Asks for a file name and replaces the n records in use with the file's,
// filling the array from position 0 in the same block (resized to the
// number of records + 1): the records are never held twice. On success
// "Выполнено!" is printed and the number of records read is returned. When
// the file cannot be opened or read, does not follow the format, or memory
// runs out, it reports that on the error stream and returns n with records
// 0 to n - 1 untouched; likewise when the input ends at the prompt.
int32_t load_array(console& con, massiv& Massiv, int32_t n);

// Appends the file line of h to out.
void write_record(sink& out, const human& h);

// Appends the file lines of records 0 to n - 1 to out, as a save writes
// them. A file whose first bytes would read as a byte-order mark (a first
// name that begins with EF BB BF) starts with a line end, so that a load
// keeps the name as it was.
void write_records(sink& out, int32_t n, const human* rec);

// Outcome of reading a record file.
enum load_status {
  load_ok,
  load_bad_format,  // a field does not follow the format, or is cut short
  load_no_memory,   // the array, or the records held back, could not grow
  load_read_error,  // reading failed; in.error tells why
};

// The most bytes a field of the file may have, word or number: 254, what
// a text field holds. A longer one makes its record malformed as soon as
// it is seen, so that a file streaming one field without end is refused
// instead of read forever.
const size_t field_max = text_size - 1;

// Reads every record of the file from in into a, from position 0, where
// positions 0 to n - 1 hold records in use. The records that go to those
// places are held back, packed, until the whole file has been read and
// found good; the records after them go straight to their places, the
// array growing as they come. On load_ok count is the number of records
// and the array has room for count + 1. Otherwise records 0 to n - 1 are
// as they were, the array has its room back (unless memory cannot even be
// given back), and count is the number of records before the one where
// reading stopped.
load_status read_records(source& in, massiv& a, int32_t n, int32_t& count);

// Writes records 0 to n - 1 to the file called name, replacing it as a
// whole as save_array describes, through a buffer of fixed size: the save
// takes no memory in proportion to the records. Returns 0, or the error of
// the step that failed; outcome gets what else the save has to report (a
// damaged file and its backup, files left behind).
os_error write_file(const char* name, int32_t n, const human* rec,
                    save_outcome& outcome);

#endif  // KARTOTEKA_STORAGE_FILE_H_
