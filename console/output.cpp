// Buffered output to a stream or to memory.
#include "console/output.h"

#include <cstdio>
#include <cstring>

void open_sink(sink& s, const os_stream& stream) {
  s.stream = stream;
  s.in_memory = false;
  s.kept = nullptr;
  s.kept_len = 0;
  s.error = 0;
  s.report_to = nullptr;
  s.report_format = nullptr;
  s.len = 0;
}

void report_failure(sink& s, sink& to, const char* format) {
  s.report_to = &to;
  s.report_format = format;
}

// Reports the first failure of s where report_failure said.
static void report_first_failure(sink& s) {
  if (s.report_to == nullptr || os_reader_gone(s.error)) return;
  char reason[256];
  os_error_text(s.error, reason, sizeof reason);
  char line[512];
  int len = snprintf(line, sizeof line, s.report_format, reason);
  if (len <= 0) return;
  put(*s.report_to, line, strlen(line));
  (void)flush(*s.report_to);
}

void open_memory_sink(sink& s) {
  os_stream none = {};
  none.handle = -1;
  open_sink(s, none);
  s.in_memory = true;
}

void release_sink(sink& s) {
  os_free(s.kept);
  s.kept = nullptr;
  s.kept_len = 0;
}

// Appends n bytes at p to the memory of s.
static os_error keep(sink& s, const char* p, size_t n) {
  if (n == 0) return 0;
  // Straight from the system: a test that makes resizes fail still sees
  // everything printed.
  void* block = os_system_resize(s.kept, s.kept_len + n);
  if (block == nullptr) return os_no_memory;
  s.kept = static_cast<char*>(block);
  memcpy(s.kept + s.kept_len, p, n);
  s.kept_len += n;
  return 0;
}

// Passes n bytes at p on, unless a write failed before.
static void pass_on(sink& s, const char* p, size_t n) {
  if (s.error != 0) return;
  s.error = s.in_memory ? keep(s, p, n) : os_write(s.stream, p, n);
  if (s.error != 0) report_first_failure(s);
}

bool flush(sink& s) {
  pass_on(s, s.buf, s.len);
  s.len = 0;
  return s.error == 0;
}

void put_long(sink& s, const char* p, size_t n) {
  if (s.error != 0) return;
  flush(s);
  if (n < sizeof s.buf) {
    memcpy(s.buf, p, n);
    s.len = n;
  } else {
    pass_on(s, p, n);
  }
}

void put_int(sink& s, int32_t v) {
  char digits[12];
  char* end = digits + sizeof digits;
  char* p = end;
  // Work on the magnitude as unsigned so that INT32_MIN has one too.
  uint32_t m = v < 0 ? 0u - static_cast<uint32_t>(v) : static_cast<uint32_t>(v);
  do {
    *--p = static_cast<char>('0' + m % 10);
    m /= 10;
  } while (m != 0);
  if (v < 0) *--p = '-';
  put(s, p, static_cast<size_t>(end - p));
}
