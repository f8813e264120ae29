// The record array's block.
#include "record/array.h"

#include "os/os.h"

bool resize_array(massiv& a, int64_t room) {
  if (room < 1 || room > INT32_MAX) return false;
  // Where size_t has 32 bits, two thousand million records do not fit it.
  if (static_cast<uint64_t>(room) > SIZE_MAX / sizeof(human)) return false;
  void* block = os_resize(a.rec, static_cast<size_t>(room) * sizeof(human));
  if (block == nullptr) return false;
  a.rec = static_cast<human*>(block);
  a.room = static_cast<int32_t>(room);
  return true;
}

void release_array(massiv& a) {
  os_free(a.rec);
  a.rec = nullptr;
  a.room = 0;
}
