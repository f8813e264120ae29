// Buffered output to a file descriptor.
#include "console/output.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

void open_sink(sink& s, int fd) {
  s.fd = fd;
  s.error = 0;
  s.len = 0;
}

// Writes n bytes at p straight to the descriptor.
static void write_all(sink& s, const char* p, size_t n) {
  while (n > 0 && s.error == 0) {
    ssize_t done = write(s.fd, p, n);
    if (done < 0) {
      if (errno != EINTR) s.error = errno;
      continue;
    }
    p += done;
    n -= static_cast<size_t>(done);
  }
}

bool flush(sink& s) {
  write_all(s, s.buf, s.len);
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
    write_all(s, p, n);
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
