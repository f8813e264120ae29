// Buffered output: the console's standard output and reports, and the text
// of a record file being saved, are all written through a sink. Bytes
// collect in the sink's buffer and move on when it fills, when the sink is
// flushed, and (for the console) before the program waits for input: to a
// stream, or for a sink in memory to a block that keeps them all.
#ifndef KARTOTEKA_CONSOLE_OUTPUT_H_
#define KARTOTEKA_CONSOLE_OUTPUT_H_

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "os/os.h"

struct sink {
  os_stream stream;  // where the bytes go, unless the sink is in memory
  bool in_memory;    // the bytes go to kept instead
  char* kept;        // in memory: every byte flushed so far (os_system_resize)
  size_t kept_len;
  os_error error;   // the error of the first failed write, 0 while none
  sink* report_to;  // where that failure is reported, or null
  const char* report_format;  // the report, with %s for the reason
  size_t len;                 // bytes waiting in buf
  char buf[1 << 16];
};

// Makes s write to stream, with an empty buffer and no error.
void open_sink(sink& s, const os_stream& stream);

// Has s report its first failed write to to, once, as format (a printf
// format with one %s, the system's reason) and flush it. A write that
// fails because the reader of a pipe has gone is not reported: whoever
// would read a report has ended the conversation.
void report_failure(sink& s, sink& to, const char* format);

// Makes s keep everything written to it in memory: after a flush, the
// bytes are kept[0] to kept[kept_len - 1]. Running out of memory is an
// error like a failed write (os_no_memory).
void open_memory_sink(sink& s);

// Gives back the memory of a sink in memory; it then keeps nothing.
void release_sink(sink& s);

// Appends the n bytes at p when they do not fit in the buffer: flushes it
// first, and passes them straight on if they never fit. For put.
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

// Passes every waiting byte on. Returns true when nothing failed so far,
// false (with s.error set) otherwise.
bool flush(sink& s);

#endif  // KARTOTEKA_CONSOLE_OUTPUT_H_
