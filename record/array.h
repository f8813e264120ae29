// The record array: one heap block of person records and the number of
// records it has room for. Every resize in the program, of the record array
// or of a search's result list, goes through reallocate, which tests can
// replace to make it fail.
#ifndef KARTOTEKA_MENU_ARRAY_H_
#define KARTOTEKA_MENU_ARRAY_H_

#include <cstddef>
#include <cstdint>

#include "record/human.h"

struct massiv {
  human* rec;    // the block; positions 0 to room - 1 exist
  int32_t room;  // how many records the block holds, 0 when there is none
};

// Resizes the block at p (null for a new one) to size bytes, keeping its
// contents, as realloc does. Returns the block, or null with p untouched.
// Blocks come from os_resize and go back with os_free.
void* reallocate(void* p, size_t size);

// Replaces the function behind reallocate (os_resize unless replaced) and
// returns the one in use before. For tests.
using reallocator = void* (*)(void*, size_t);
reallocator set_reallocator(reallocator r);

// Resizes the block of a to exactly room records, keeping the records that
// fit. Returns true on success; on failure (no memory, or a room beyond the
// signed 32-bit count) returns false and leaves a as it was.
bool resize_array(massiv& a, int64_t room);

// Releases the block of a; a then has no block and no room.
void release_array(massiv& a);

#endif  // KARTOTEKA_MENU_ARRAY_H_
