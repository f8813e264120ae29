// Formatted reading from a file descriptor or from memory.
#include "console/input.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "console/output.h"

void open_source(source& s, int fd, sink* tie) {
  s.fd = fd;
  s.data = s.buf;
  s.pos = 0;
  s.len = 0;
  s.drained = false;
  s.error = 0;
  s.tie = tie;
}

void open_memory_source(source& s, const char* p, size_t n) {
  s.fd = -1;
  s.data = p;
  s.pos = 0;
  s.len = n;
  s.drained = true;
  s.error = 0;
  s.tie = nullptr;
}

bool refill(source& s) {
  if (s.pos < s.len) return true;
  if (s.drained) return false;
  if (s.tie != nullptr) flush(*s.tie);
  for (;;) {
    ssize_t got = read(s.fd, s.buf, sizeof s.buf);
    if (got > 0) {
      s.pos = 0;
      s.len = static_cast<size_t>(got);
      return true;
    }
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) s.error = errno;
    s.drained = true;
    return false;
  }
}

void skip_space(source& s) {
  for (;;) {
    if (s.pos == s.len && !refill(s)) return;
    if (!is_space(static_cast<unsigned char>(s.data[s.pos]))) return;
    s.pos++;
  }
}

read_status read_char(source& s, char& c) {
  if (s.pos == s.len && !refill(s)) return read_end;
  c = s.data[s.pos++];
  return read_ok;
}

bool take_byte(source& s, char c) {
  if (peek_byte(s) != static_cast<unsigned char>(c)) return false;
  s.pos++;
  return true;
}

read_status read_int(source& s, int32_t& v) {
  skip_space(s);
  int c = peek_byte(s);
  if (c < 0) return read_end;
  bool negative = c == '-';
  if (c == '-' || c == '+') {
    s.pos++;
    c = peek_byte(s);
  }
  if (c < '0' || c > '9') return read_not_number;
  // The magnitude stops growing once it is past every 32-bit value, so a
  // run of any length of digits cannot overflow it.
  const int64_t limit = int64_t{INT32_MAX} + 1;
  int64_t m = 0;
  do {
    if (m <= limit) m = m * 10 + (c - '0');
    s.pos++;
    c = peek_byte(s);
  } while (c >= '0' && c <= '9');
  if (m > (negative ? limit : limit - 1)) return read_out_of_range;
  v = static_cast<int32_t>(negative ? -m : m);
  return read_ok;
}

read_status read_word(source& s, char* buf, size_t size) {
  skip_space(s);
  if (peek_byte(s) < 0) return read_end;
  size_t n = 0;
  bool fits = true;
  bool nul = false;
  for (;;) {
    // Take the run of word bytes that is already buffered in one piece.
    const char* p = s.data + s.pos;
    const char* end = s.data + s.len;
    const char* q = p;
    while (q < end && !is_space(static_cast<unsigned char>(*q))) q++;
    size_t run = static_cast<size_t>(q - p);
    if (memchr(p, '\0', run) != nullptr) nul = true;
    if (fits && run < size - n) {
      memcpy(buf + n, p, run);
      n += run;
    } else {
      fits = false;
    }
    s.pos += run;
    if (q < end || !refill(s)) break;
  }
  buf[fits && !nul ? n : 0] = '\0';
  if (!fits) return read_too_long;
  if (nul) return read_nul;
  return read_ok;
}

void skip_line(source& s) {
  for (;;) {
    if (s.pos == s.len && !refill(s)) return;
    const char* p = s.data + s.pos;
    const void* nl = memchr(p, '\n', s.len - s.pos);
    if (nl != nullptr) {
      s.pos += static_cast<size_t>(static_cast<const char*>(nl) - p) + 1;
      return;
    }
    s.pos = s.len;
  }
}
