// The memory floor of a load: a block of person records grown one record
// at a time by the load's rule (room for count + 1 after each record), with
// every record written once and nothing read or parsed. The benchmark
// compares the program's load with this. Prints the size of one record.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "record/human.h"

int main(int argc, char** argv) {
  long count = argc == 2 ? atol(argv[1]) : 0;
  if (count < 1) {
    fprintf(stderr, "usage: %s COUNT\n", argv[0]);
    return 2;
  }
  human sample;
  memset(&sample, 0, sizeof sample);
  strcpy(sample.name, "Александр");
  strcpy(sample.surname, "Иванов");
  strcpy(sample.address.city, "Москва");
  human* rec = static_cast<human*>(realloc(nullptr, sizeof(human)));
  if (rec == nullptr) return 1;
  for (long i = 0; i < count; i++) {
    rec[i] = sample;
    rec[i].phone = static_cast<int32_t>(i);
    void* block = realloc(rec, static_cast<size_t>(i + 2) * sizeof(human));
    if (block == nullptr) return 1;
    rec = static_cast<human*>(block);
  }
  // One field of every record read back, so that no store can be dropped.
  long sum = 0;
  for (long i = 0; i < count; i++) sum += rec[i].phone;
  free(rec);
  if (sum != count * (count - 1) / 2) return 1;
  // The size of one record, for the memory figures.
  return printf("%zu\n", sizeof(human)) > 0 ? 0 : 1;
}
