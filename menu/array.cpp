// The record array's block and the one resize function of the program.
#include "menu/array.h"

#include <malloc.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>

static reallocator current = realloc;

void* reallocate(void* p, size_t size) {
  return current(p, size);
}

reallocator set_reallocator(reallocator r) {
  reallocator before = current;
  current = r;
  return before;
}

// A block that grows one record at a time costs little more than its memory
// when it stays in the heap, where a resize extends it in place into the
// heap's free top, and when the heap grows in large steps, so that the
// memory ahead of the block exists before the block reaches it. That memory
// can then be asked to come in 2 MiB pages, each about as cheap to hand out
// as a 4 KiB one. (A block the allocator maps on its own would end where
// the block ends, leaving no whole 2 MiB page ahead of it.)
const size_t huge_page = size_t{2} << 20;
const int heap_step = 32 << 20;

// Keeps every block in the heap and makes the heap grow by heap_step at a
// time. Failing, it leaves the allocator as it was, which only costs speed.
static void tune_heap() {
  (void)mallopt(M_MMAP_MAX, 0);
  (void)mallopt(M_TOP_PAD, heap_step);
}

// Asks for 2 MiB pages over the whole 2 MiB pages between the block at p,
// of size bytes, and the end of the heap, each time the heap has grown.
// Only for a block at least that large, and only one inside the heap. The
// advice is a hint: failing, it changes nothing.
static void advise_huge_pages(void* p, size_t size) {
  static uintptr_t advised_end = 0;
  if (size < huge_page) return;
  uintptr_t start = reinterpret_cast<uintptr_t>(p);
  uintptr_t heap_end = reinterpret_cast<uintptr_t>(sbrk(0));
  if (heap_end == advised_end || start + size > heap_end) return;
  uintptr_t from = (start + huge_page - 1) & ~(huge_page - 1);
  uintptr_t to = heap_end & ~(huge_page - 1);
  if (to > from)
    (void)madvise(reinterpret_cast<void*>(from), to - from, MADV_HUGEPAGE);
  advised_end = heap_end;
}

bool resize_array(massiv& a, int64_t room) {
  static bool tuned = false;
  if (!tuned) {
    tune_heap();
    tuned = true;
  }
  if (room < 1 || room > INT32_MAX) return false;
  size_t size = static_cast<size_t>(room) * sizeof(human);
  void* block = reallocate(a.rec, size);
  if (block == nullptr) return false;
  advise_huge_pages(block, size);
  a.rec = static_cast<human*>(block);
  a.room = static_cast<int32_t>(room);
  return true;
}

void release_array(massiv& a) {
  free(a.rec);
  a.rec = nullptr;
  a.room = 0;
}
