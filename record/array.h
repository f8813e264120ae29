// The record array: one heap block of person records and the number of
// records it has room for, taken from os_resize.
#ifndef KARTOTEKA_RECORD_ARRAY_H_
#define KARTOTEKA_RECORD_ARRAY_H_

#include <cstddef>
#include <cstdint>

#include "record/human.h"

struct massiv {
  human* rec;    // the block; positions 0 to room - 1 exist
  int32_t room;  // how many records the block holds, 0 when there is none
};

// Resizes the block of a to exactly room records, keeping the records that
// fit. Returns true on success; on failure (no memory, or a room beyond the
// signed 32-bit count) returns false and leaves a as it was.
bool resize_array(massiv& a, int64_t room);

// Releases the block of a; a then has no block and no room.
void release_array(massiv& a);

#endif  // KARTOTEKA_RECORD_ARRAY_H_
