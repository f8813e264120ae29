// Reading words, integers and single bytes from a stream or from memory, by the
// rules of standard formatted input ("%s", "%d", "%c"): a word or integer read
// skips leading whitespace first, a byte read takes the next byte whatever it
// is, and whatever a read did not take stays unread for the next one.
// Whitespace is the C locale's set (blank, tab, line feed, vertical tab, form
// feed, carriage return) whatever locale is active. The console and the record
// file are both read through here.
#ifndef KARTOTEKA_CONSOLE_INPUT_H_
#define KARTOTEKA_CONSOLE_INPUT_H_

#include <cstddef>
#include <cstdint>

#include "os/os.h"

struct sink;

struct source {
  os_stream stream;  // read from, unless all input is in memory
  const char* data;  // the bytes at hand are data[pos] to data[len - 1]
  size_t pos;
  size_t len;
  bool drained;    // no further bytes will come after data[len - 1]
  bool mark;       // a byte-order mark may still begin the input
  os_error error;  // the error of a failed read, 0 if none failed
  sink* tie;       // flushed before waiting for input, or null
  char buf[1 << 16];
};

// Outcome of one read.
enum read_status {
  read_ok,            // the value was read
  read_not_number,    // an integer was wanted and no digits came
  read_out_of_range,  // the digits do not fit a signed 32-bit integer
  read_too_long,      // the word has more bytes than the buffer can hold
  read_nul,           // the word holds a NUL byte
  read_end,           // the input ended (or failed) before the value began
};

// Makes s read from stream, with nothing buffered yet. Before each read
// from the stream that may have to wait, tie (if not null) is flushed; if
// its reader has gone (os_reader_gone), the input ends there.
void open_source(source& s, const os_stream& stream, sink* tie);

// Makes s read the n bytes at p, which must outlive s, and nothing else.
void open_memory_source(source& s, const char* p, size_t n);

// The UTF-8 byte-order mark, which Windows editors write at the start of a
// text as a sign of its encoding.
const char byte_order_mark[] = "\xEF\xBB\xBF";

// Makes s skip a UTF-8 byte-order mark (EF BB BF) at the very start of its
// input, as soon as its first bytes are at hand: Windows editors put one
// there as a sign of the encoding, and it is no part of the text. The
// same bytes further on are ordinary bytes. Call it before the first read.
void skip_byte_order_mark(source& s);

// Fetches more bytes when none are at hand. Returns false when the input
// has ended: its end was reached, or reading failed (s.error tells which).
bool refill(source& s);

// Returns the next byte without taking it, or -1 at the end of the input.
inline int peek_byte(source& s) {
  if (s.pos == s.len && !refill(s)) return -1;
  return static_cast<unsigned char>(s.data[s.pos]);
}

// True for the C locale's whitespace bytes.
inline bool is_space(int c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}

// Takes every whitespace byte at the front of the input.
void skip_space(source& s);

// Takes the next byte into c. Returns read_ok or read_end.
read_status read_char(source& s, char& c);

// Skips whitespace, then takes an optional sign and every decimal digit
// that follows. Stores the value in v only when it returns read_ok; a
// value outside the signed 32-bit range gives read_out_of_range with all
// its digits taken, and a sign or other byte with no digit after it gives
// read_not_number with the sign taken and the other byte left. A number
// of more than most bytes, sign included, is out of range as soon as its
// byte most + 1 is seen: only its first most bytes are taken. (The record
// file limits its fields so; the console takes numbers of any length.)
read_status read_int(source& s, int32_t& v, size_t most = SIZE_MAX);

// Skips whitespace, then takes every byte up to the next whitespace or the
// end of the input. On read_ok buf holds the word and its terminating zero
// (at most size - 1 bytes of text). A longer word gives read_too_long and a
// word holding a NUL byte read_nul; either way the whole word is taken and
// buf holds an empty string. A word of more than most bytes is too long as
// soon as its byte most + 1 is seen: only its first most bytes are taken.
// Nothing is ever written past buf[size - 1].
read_status read_word(source& s, char* buf, size_t size,
                      size_t most = SIZE_MAX);

// Takes the next byte if it is c and returns true; otherwise leaves it and
// returns false.
bool take_byte(source& s, char c);

// True when the next byte is c and the input ends right after it. Takes
// nothing.
bool at_last_byte(source& s, char c);

// Takes one character as UTF-8 encodes it: a whole valid sequence of two to
// four bytes, or else one byte (a byte that begins no valid sequence is a
// character of its own, and the bytes after it are left). Stores the
// character's first byte in c. Returns read_ok or read_end.
read_status read_character(source& s, char& c);

// Takes every byte up to and including the next line feed, or to the end
// of the input. Returns true when it took a line feed, false when the input
// ended first.
bool skip_line(source& s);

#endif  // KARTOTEKA_CONSOLE_INPUT_H_
