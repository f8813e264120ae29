// Paging through the record array on the screen (menu choice 2).
#ifndef KARTOTEKA_MENU_SHOW_H_
#define KARTOTEKA_MENU_SHOW_H_

#include "console/dialogue.h"
#include "record/array.h"

// Prints records 0 to n - 1, each under its numbered heading. Before the
// first record, and before every further one while the answer is N or n,
// asks whether to show the next record only or all the rest; every byte
// other than N, n, A or a is skipped. n must be at least 1. Returns early,
// with con.ended set, when the input ends at the question or the reader
// of the output has gone.
void show_array(console& con, int32_t n, const massiv& Massiv);

#endif  // KARTOTEKA_MENU_SHOW_H_
