// Prints the size in bytes of one record, for load_memory.sh.
#include <cstdio>

#include "record/human.h"

int main() {
  std::printf("%zu\n", sizeof(human));
  return 0;
}
