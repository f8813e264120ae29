// The text conversions of the Windows console and of text-mode streams,
// kept free of system calls so that they build, and are tested, on every
// platform: the program's UTF-8 to the console's UTF-16 and back, with a
// character cut by the end of one buffer completed by the next; line ends
// read as CR LF taken as LF, and LF written as CR LF; and the Ctrl+Z that
// ends console input; and the form of a long path that the wide file API
// takes beyond MAX_PATH; and the lengths of UTF-8 sequences, which the
// input layer uses too. What one call of a conversion leaves for the next
// lives in a text_state.
#ifndef KARTOTEKA_OS_OS_TEXT_H_
#define KARTOTEKA_OS_OS_TEXT_H_

#include <cstddef>
#include <cstdint>

// The Ctrl+Z character: at the start of a console line it ends the input.
const uint16_t ctrl_z = 0x1A;

// What one conversion leaves for the next on the same stream: bytes not
// passed on yet (the start of a character cut by a buffer's end, or read
// bytes that did not fit), and one character held back until the next
// read shows what follows it (a carriage return, or the first half of a
// surrogate pair; a Ctrl+Z once it has ended the console's input).
struct text_state {
  unsigned char pending[8];
  size_t pending_len;
  uint16_t held;       // 0 when none is held
  bool at_line_start;  // no character yet on this console line
};

// Clears the carries of s: nothing pending or held, at the start of a line.
void text_reset(text_state& s);

// The length of the UTF-8 sequence that the byte lead begins (2 to 4), and
// the range its second byte must fall in (the later ones are 0x80 to
// 0xBF), so that no overlong form, surrogate or value past U+10FFFF is
// well formed; 1 for a byte that begins no sequence of several bytes.
inline size_t utf8_sequence(unsigned char lead, unsigned char& lo,
                            unsigned char& hi) {
  lo = 0x80;
  hi = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) return 2;
  if (lead >= 0xE0 && lead <= 0xEF) {
    if (lead == 0xE0) lo = 0xA0;  // no overlong forms
    if (lead == 0xED) hi = 0x9F;  // no surrogates
    return 3;
  }
  if (lead >= 0xF0 && lead <= 0xF4) {
    if (lead == 0xF0) lo = 0x90;  // no overlong forms
    if (lead == 0xF4) hi = 0x8F;  // nothing beyond U+10FFFF
    return 4;
  }
  return 1;
}

// Converts UTF-8 text, the n bytes at p, to UTF-16 for the console, each LF
// written as CR LF. Writes at most room units (room at least 2) to out and
// sets made to their number. A byte that does not belong to a well-formed
// UTF-8 character becomes U+FFFD, one per bad sequence. The start of a
// character cut by the end of p is kept in s.pending and finished by the
// next call. Returns how many bytes of p were used: all of them, unless out
// filled up first.
size_t console_encode(text_state& s, const char* p, size_t n, uint16_t* out,
                      size_t room, size_t& made);

// Converts n UTF-16 units read from the console into UTF-8 at out, which
// must have room for 3 * n + 3 bytes. CR LF becomes LF. A CR at the end of
// the units, or the first half of a surrogate pair, is held in s.held until
// the next call shows what follows it. A surrogate without its other half
// becomes U+FFFD. A line that starts with Ctrl+Z ends the input: ended is
// set, the rest of the units is dropped, and s.held keeps the Ctrl+Z so
// that every later call ends at once too. Returns the number of bytes
// written.
size_t console_decode(text_state& s, const uint16_t* w, size_t n, char* out,
                      bool& ended);

// Converts the n bytes at in, read from a text-mode stream, to out, each
// CR LF taken as LF. A CR at the end of in is held in s.held until the next
// call (or text_drain) shows what follows it. out has room for n + 1 bytes
// and may start anywhere up to in itself: bytes are taken in order. Returns
// the number of bytes written.
size_t text_read(text_state& s, const char* in, size_t n, char* out);

// At the end of the input: writes what s holds, as it stands, to out (room
// for 3 bytes): a lone CR, or U+FFFD for half a surrogate pair. Returns the
// number of bytes written.
size_t text_drain(text_state& s, char* out);

// Copies the n bytes at p to out for a text-mode stream, each LF written as
// CR LF. Writes at most room bytes (room at least 2) and sets made to their
// number. Returns how many bytes of p were used.
size_t text_write(const char* p, size_t n, char* out, size_t room,
                  size_t& made);

// The longest path the wide file API takes in its plain form (MAX_PATH),
// its terminating zero included.
const size_t plain_path_max = 260;

// Writes to out (room units) the full path full (n units, no terminating
// zero; drive or UNC form, as GetFullPathNameW gives it) in the form that
// has no length limit even where long paths are switched off: \\?\C:\...
// for a drive path, \\?\UNC\server\share\... for a network one. A path
// already in such a form (\\?\ or \\.\) is copied as it is. Returns the
// number of units written, with a terminating zero after them, or 0 when
// room is too small.
size_t extended_path(const uint16_t* full, size_t n, uint16_t* out,
                     size_t room);

#endif  // KARTOTEKA_OS_OS_TEXT_H_
