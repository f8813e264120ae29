// Buffered output to a file descriptor: the console's standard output and
// the record file are both written through a sink. Bytes collect in the
// sink's buffer and reach the descriptor when it fills, when the sink is
// flushed, and (for the console) before the program waits for input.
#ifndef KARTOTEKA_CONSOLE_OUTPUT_H_
#define KARTOTEKA_CONSOLE_OUTPUT_H_

#include <cstddef>
#include <cstdint>
#include <cstring>

struct sink {
  int fd;      // descriptor written to
  int error;   // errno of the first failed write, 0 while none failed
  size_t len;  // bytes waiting in buf
  char buf[1 << 16];
};

// Makes s write to fd, with an empty buffer and no error.
void open_sink(sink& s, int fd);

// Appends the n bytes at p when they do not fit in the buffer: flushes it
// first, and writes them straight to the descriptor if they never fit. For
// put.
void put_long(sink& s, const char* p, size_t n);

// Appends the n bytes at p. Once a write has failed, the sink drops
// everything given to it and keeps the first error in s.error.
inline void put(sink& s, const char* p, size_t n) {
  // Bytes buffered after a failure are never written: flush skips them.
  if (n <= sizeof s.buf - s.len) {
    memcpy(s.buf + s.len, p, n);
    s.len += n;
  } else {
    put_long(s, p, n);
  }
}

// Appends the zero-terminated string z.
inline void put_text(sink& s, const char* z) {
  put(s, z, strlen(z));
}

// Appends the decimal form of v: a minus sign for negative values, no
// leading zeros, blanks or grouping.
void put_int(sink& s, int32_t v);

// Appends one byte.
inline void put_char(sink& s, char c) {
  if (s.len == sizeof s.buf)
    put(s, &c, 1);
  else
    s.buf[s.len++] = c;
}

// Writes every waiting byte to the descriptor, retrying short and
// interrupted writes. Returns true when nothing failed so far, false (with
// s.error set) otherwise.
bool flush(sink& s);

#endif  // KARTOTEKA_CONSOLE_OUTPUT_H_
