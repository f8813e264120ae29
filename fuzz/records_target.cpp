// Fuzz target for the record-file reader: the input is the bytes of a file.
// Whatever the bytes, reading must end without touching memory it does not
// own, and every record it read must come back the same when written out
// and read again: the written line of a record is read back as that record,
// so writing it once more gives the same bytes.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "menu/array.h"
#include "storage/file.h"

// Returns the file lines of records 0 to count - 1 of a.
static std::string written(const massiv& a, int32_t count) {
  static sink out;
  open_memory_sink(out);
  for (int32_t i = 0; i < count; i++) write_record(out, a.rec[i]);
  if (!flush(out)) abort();
  std::string text(out.kept, out.kept_len);
  release_sink(out);
  return text;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  source in;
  open_memory_source(in, reinterpret_cast<const char*>(data), size);
  massiv fresh = {nullptr, 0};
  int32_t count = 0;
  load_status status = read_records(in, fresh, count);
  if (status == load_read_error || count < 0 ||
      (status != load_no_memory && count >= fresh.room)) {
    abort();
  }
  std::string once = written(fresh, count);
  release_array(fresh);

  source again;
  open_memory_source(again, once.data(), once.size());
  int32_t count_again = 0;
  if (read_records(again, fresh, count_again) != load_ok ||
      count_again != count || written(fresh, count_again) != once) {
    abort();
  }
  release_array(fresh);
  return 0;
}
