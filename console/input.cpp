// Formatted reading from a stream or from memory.
#include "console/input.h"

#include <cstring>

#include "console/output.h"
#include "os/compat.h"
#include "os/os_text.h"

void open_source(source& s, const os_stream& stream, sink* tie) {
  s.stream = stream;
  s.data = s.buf;
  s.pos = 0;
  s.len = 0;
  s.drained = false;
  s.mark = false;
  s.error = 0;
  s.tie = tie;
}

void open_memory_source(source& s, const char* p, size_t n) {
  s.stream.handle = -1;
  s.data = p;
  s.pos = 0;
  s.len = n;
  s.drained = true;
  s.mark = false;
  s.error = 0;
  s.tie = nullptr;
}

const size_t mark_size = sizeof byte_order_mark - 1;

// Decides whether the bytes at hand begin with the byte-order mark, and
// takes it if they do. Undecided (s.mark stays set) while they are a
// proper start of it and more may come.
static void settle_mark(source& s) {
  size_t have = s.len - s.pos;
  size_t n = have < mark_size ? have : mark_size;
  if (memcmp(s.data + s.pos, byte_order_mark, n) != 0) {
    s.mark = false;
  } else if (n == mark_size) {
    s.pos += mark_size;
    s.mark = false;
  } else if (s.drained) {
    s.mark = false;  // the input ends within it: ordinary bytes
  }
}

void skip_byte_order_mark(source& s) {
  s.mark = true;
  if (s.drained) settle_mark(s);
}

// Makes at least n bytes (at most the buffer's size) ready from data[pos]
// on, unless the input ends first: moves the unread bytes to the front of
// the buffer and reads more behind them. Returns the number ready.
static size_t look_ahead(source& s, size_t n) {
  while ((s.len - s.pos < n || s.mark) && !s.drained) {
    size_t left = s.len - s.pos;
    memmove(s.buf, s.data + s.pos, left);
    s.data = s.buf;
    s.pos = 0;
    s.len = left;
    if (s.tie != nullptr && !flush(*s.tie) && os_reader_gone(s.tie->error)) {
      // Nobody reads what would ask for more: the conversation is over.
      s.drained = true;
      break;
    }
    size_t got = 0;
    s.error = os_read(s.stream, s.buf + left, sizeof s.buf - left, got);
    if (got == 0) s.drained = true;
    s.len += got;
    if (s.mark) settle_mark(s);
  }
  return s.len - s.pos;
}

bool refill(source& s) {
  return look_ahead(s, 1) > 0;
}

void skip_space(source& s) {
  for (;;) {
    const char* p = s.data + s.pos;
    const char* end = s.data + s.len;
    while (p < end && is_space(static_cast<unsigned char>(*p))) p++;
    s.pos = static_cast<size_t>(p - s.data);
    if (p < end || !refill(s)) return;
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

bool at_last_byte(source& s, char c) {
  return peek_byte(s) == static_cast<unsigned char>(c) && look_ahead(s, 2) == 1;
}

// True for the decimal digits.
static inline bool is_digit(int c) {
  return c >= '0' && c <= '9';
}

// Where a run of bytes at p, at most left long, must stop looking: end,
// or left bytes on when that comes first.
static inline const char* run_stop(const char* p, const char* end,
                                   size_t left) {
  return static_cast<size_t>(end - p) > left ? p + left : end;
}

read_status read_int(source& s, int32_t& v, size_t most) {
  skip_space(s);
  int c = peek_byte(s);
  if (c < 0) return read_end;
  bool negative = c == '-';
  size_t taken = 0;
  if ((c == '-' || c == '+') && most > 0) {
    s.pos++;
    taken++;
    c = peek_byte(s);
  }
  if (!is_digit(c)) return read_not_number;
  // The magnitude stops growing once it is past every 32-bit value, so a
  // run of any length of digits cannot overflow it.
  const int64_t limit = int64_t{INT32_MAX} + 1;
  int64_t m = 0;
  for (;;) {
    // Take the run of digits that is already buffered in one piece.
    const char* p = s.data + s.pos;
    const char* stop = run_stop(p, s.data + s.len, most - taken);
    const char* q = p;
    for (; q < stop && is_digit(*q); q++) {
      if (m <= limit) m = m * 10 + (*q - '0');
    }
    s.pos += static_cast<size_t>(q - p);
    taken += static_cast<size_t>(q - p);
    if (taken == most) {
      if (is_digit(peek_byte(s))) return read_out_of_range;
      break;
    }
    if (q < stop || !refill(s)) break;
  }
  if (m > (negative ? limit : limit - 1)) return read_out_of_range;
  v = static_cast<int32_t>(negative ? -m : m);
  return read_ok;
}

// True for the bytes that end a buffered run of word bytes: whitespace and
// NUL. Most word bytes are above the blank and cost one comparison.
static inline bool stops_word(unsigned char c) {
  return c <= ' ' && (c == '\0' || is_space(c));
}

// Finds the first byte in p to end - 1 that stops a run of word bytes, or
// end. Looks at eight bytes at a time while eight are left: subtracting
// 0x21 from each byte sets the top bit of those at or below the blank, and
// masking with ~x drops the bytes from 0x80 up. A borrow can only spoil the
// flags after the first true one, so the lowest flag is exact; it may still
// be a control byte that belongs to the word, and the scan goes on past it.
static const char* run_end(const char* p, const char* end) {
  const uint64_t ones = 0x0101010101010101;
  while (end - p >= 8) {
    uint64_t x = load_first_lowest(p);
    uint64_t low = (x - ones * 0x21) & ~x & (ones * 0x80);
    if (low == 0) {
      p += 8;
      continue;
    }
    p += lowest_bit(low) / 8;
    if (stops_word(static_cast<unsigned char>(*p))) return p;
    p++;
  }
  while (p < end && !stops_word(static_cast<unsigned char>(*p))) p++;
  return p;
}

read_status read_word(source& s, char* buf, size_t size, size_t most) {
  skip_space(s);
  if (peek_byte(s) < 0) return read_end;
  size_t n = 0;
  size_t taken = 0;
  bool fits = true;
  bool nul = false;
  for (;;) {
    // Take the run of word bytes that is already buffered in one piece. A
    // NUL byte belongs to the word but stops the scan, to be noted.
    const char* p = s.data + s.pos;
    const char* stop = run_stop(p, s.data + s.len, most - taken);
    const char* q = run_end(p, stop);
    bool at_nul = q < stop && *q == '\0';
    if (at_nul) {
      nul = true;
      q++;
    }
    size_t run = static_cast<size_t>(q - p);
    if (fits && run < size - n) {
      memcpy(buf + n, p, run);
      n += run;
    } else {
      fits = false;
    }
    s.pos += run;
    taken += run;
    if (q < stop && !at_nul) break;  // the word ends at a whitespace byte
    if (taken == most) {
      int c = peek_byte(s);
      if (c >= 0 && !is_space(c)) fits = false;  // and goes on
      break;
    }
    if (q == stop && !refill(s)) break;
  }
  buf[fits && !nul ? n : 0] = '\0';
  if (!fits) return read_too_long;
  if (nul) return read_nul;
  return read_ok;
}

read_status read_character(source& s, char& c) {
  int lead = peek_byte(s);
  if (lead < 0) return read_end;
  unsigned char lo, hi;
  size_t length = utf8_sequence(static_cast<unsigned char>(lead), lo, hi);
  size_t take = 1;
  if (length > 1 && look_ahead(s, length) >= length) {
    const unsigned char* p =
        reinterpret_cast<const unsigned char*>(s.data + s.pos);
    bool valid = p[1] >= lo && p[1] <= hi;
    for (size_t i = 2; valid && i < length; i++)
      valid = p[i] >= 0x80 && p[i] <= 0xBF;
    if (valid) take = length;
  }
  c = static_cast<char>(lead);
  s.pos += take;
  return read_ok;
}

bool skip_line(source& s) {
  for (;;) {
    if (s.pos == s.len && !refill(s)) return false;
    const char* p = s.data + s.pos;
    const void* nl = memchr(p, '\n', s.len - s.pos);
    if (nl != nullptr) {
      s.pos += static_cast<size_t>(static_cast<const char*>(nl) - p) + 1;
      return true;
    }
    s.pos = s.len;
  }
}
