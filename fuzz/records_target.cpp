// Fuzz target for the record-file reader: the input is the bytes of a file.
// Whatever the bytes, reading must end without touching memory it does not
// own; it must accept exactly the records that reading field by field with
// the input layer accepts, and change nothing when it refuses the file; and
// every record it read must come back the same when written out and read
// again: the written line of a record is read back as that record, so
// writing it once more gives the same bytes.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "record/array.h"
#include "storage/file.h"

// Returns the file lines of records 0 to count - 1 of a, as a save writes
// them.
static std::string written(const massiv& a, int32_t count) {
  static sink out;
  open_memory_sink(out);
  write_records(out, count, a.rec);
  if (!flush(out)) abort();
  std::string text(out.kept, out.kept_len);
  release_sink(out);
  return text;
}

// Reads one field of the kind of field number no, as the file's format
// says, with nothing but the input layer's reads. False when it is bad.
static bool plain_field(source& in, int no) {
  char word[text_size];
  if (is_text_field(no)) return read_word(in, word, sizeof word) == read_ok;
  skip_space(in);
  size_t start = in.pos;
  int32_t v = 0;
  if (read_int(in, v) != read_ok || in.pos - start > field_max) return false;
  return (no != 8 && no != 9) || take_byte(in, '.');
}

// The number of whole records at the front of the n bytes at p, and
// whether they are all there is. A byte-order mark at the very start and a
// 0x1A as the very last byte are not the file's text.
static int32_t plain_count(const uint8_t* p, size_t n, bool& whole) {
  if (n >= 3 && memcmp(p, "\xEF\xBB\xBF", 3) == 0) {
    p += 3;
    n -= 3;
  }
  if (n > 0 && p[n - 1] == 0x1A) n--;
  source in;
  open_memory_source(in, reinterpret_cast<const char*>(p), n);
  int32_t count = 0;
  for (;;) {
    skip_space(in);
    whole = peek_byte(in) < 0;
    if (whole) return count;
    for (int no = 1; no <= field_count; no++) {
      if (!plain_field(in, no)) return count;
    }
    count++;
  }
}

// The records held before a load, which a load that fails must keep.
const int held = 3;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  bool whole = false;
  int32_t plain = plain_count(data, size, whole);

  // Into an array with no records, and into one with three in use: the two
  // loads read differently (the second checks the first three records
  // before it stores them) and must agree.
  std::string once;
  for (int n : {0, held}) {
    source in;
    open_memory_source(in, reinterpret_cast<const char*>(data), size);
    massiv a = {nullptr, 0};
    if (!resize_array(a, held)) abort();
    for (int i = 0; i < held; i++) {
      memset(&a.rec[i], 0, sizeof(human));
      a.rec[i].height = i + 1;
    }
    int32_t count = 0;
    load_status status = read_records(in, a, n, count);
    if (status == load_read_error || status == load_no_memory ||
        count != plain || whole != (status == load_ok)) {
      abort();
    }
    if (status == load_ok) {
      if (a.room != count + 1) abort();
      std::string text = written(a, count);
      if (n != 0 && text != once) abort();
      once = text;
    } else if (a.room != held) {
      abort();
    } else {
      for (int i = 0; i < n; i++) {
        if (a.rec[i].height != i + 1 || a.rec[i].name[0] != '\0') abort();
      }
    }
    release_array(a);
  }
  if (!whole) return 0;

  source again;
  open_memory_source(again, once.data(), once.size());
  massiv a = {nullptr, 0};
  int32_t count_again = 0;
  if (read_records(again, a, 0, count_again) != load_ok ||
      count_again != plain || written(a, count_again) != once) {
    abort();
  }
  release_array(a);
  return 0;
}
