// Showing one person record as a block of seventeen labelled lines.
#ifndef KARTOTEKA_RECORD_DISPLAY_H_
#define KARTOTEKA_RECORD_DISPLAY_H_

#include "console/output.h"
#include "record/human.h"

// Appends the seventeen lines of h to out: the person's fields, telephone
// before the birth date, then the address indented under its heading. Sex 0
// shows as a woman, any other value as a man. Reads nothing.
void print_human(sink& out, const human& h);

#endif  // KARTOTEKA_RECORD_DISPLAY_H_
