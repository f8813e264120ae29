// Text conversions of the Windows console and of text-mode streams.
#include "os/os_text.h"

#include <cstring>

const uint32_t replacement = 0xFFFD;

void text_reset(text_state& s) {
  s.pending_len = 0;
  s.held = 0;
  s.at_line_start = true;
}

static bool is_high_surrogate(uint32_t u) {
  return u >= 0xD800 && u <= 0xDBFF;
}

static bool is_low_surrogate(uint32_t u) {
  return u >= 0xDC00 && u <= 0xDFFF;
}

// Decodes the UTF-8 character at the start of the n bytes at p (n at least
// 1) into cp. Returns the number of bytes it takes; for a bad sequence, cp
// is U+FFFD and the count covers the bytes that still looked right (at
// least one). Returns 0 when the n bytes are a good start of a character
// that goes on past them.
static size_t utf8_next(const unsigned char* p, size_t n, uint32_t& cp) {
  unsigned c = p[0];
  if (c < 0x80) {
    cp = c;
    return 1;
  }
  unsigned char lo, hi;  // the range of the second byte
  size_t len = utf8_sequence(static_cast<unsigned char>(c), lo, hi);
  if (len == 1) {
    cp = replacement;
    return 1;
  }
  uint32_t v = c & (0x7Fu >> len);  // the lead byte's bits of the value
  for (size_t i = 1; i < len; i++) {
    if (i >= n) return 0;
    unsigned b = p[i];
    if (b < lo || b > hi) {
      cp = replacement;
      return i;
    }
    lo = 0x80;
    hi = 0xBF;
    v = v << 6 | (b & 0x3F);
  }
  cp = v;
  return len;
}

// Writes cp as UTF-16 to out, LF as CR LF. Returns the number of units
// (1 or 2).
static size_t put_utf16(uint32_t cp, uint16_t* out) {
  if (cp == '\n') {
    out[0] = '\r';
    out[1] = '\n';
    return 2;
  }
  if (cp < 0x10000) {
    out[0] = static_cast<uint16_t>(cp);
    return 1;
  }
  cp -= 0x10000;
  out[0] = static_cast<uint16_t>(0xD800 + (cp >> 10));
  out[1] = static_cast<uint16_t>(0xDC00 + (cp & 0x3FF));
  return 2;
}

size_t console_encode(text_state& s, const char* p, size_t n, uint16_t* out,
                      size_t room, size_t& made) {
  const unsigned char* in = reinterpret_cast<const unsigned char*>(p);
  size_t used = 0;
  made = 0;
  if (s.pending_len > 0) {
    // Finish the character the last call left cut, from the bytes of p.
    unsigned char start[4];
    size_t have = s.pending_len;
    memcpy(start, s.pending, have);
    size_t take = n < sizeof start - have ? n : sizeof start - have;
    memcpy(start + have, in, take);
    uint32_t cp;
    size_t len = utf8_next(start, have + take, cp);
    if (len == 0) {  // still cut: p ended too
      memcpy(s.pending + have, in, take);
      s.pending_len = have + take;
      return n;
    }
    made = put_utf16(cp, out);
    // The pending bytes looked right, so a bad sequence ends past them.
    used = len - have;
    s.pending_len = 0;
  }
  while (used < n && room - made >= 2) {
    uint32_t cp;
    size_t len = utf8_next(in + used, n - used, cp);
    if (len == 0) {
      s.pending_len = n - used;
      memcpy(s.pending, in + used, s.pending_len);
      return n;
    }
    made += put_utf16(cp, out + made);
    used += len;
  }
  return used;
}

// Writes cp as UTF-8 to out. Returns the number of bytes (1 to 4).
static size_t put_utf8(uint32_t cp, char* out) {
  unsigned char* o = reinterpret_cast<unsigned char*>(out);
  if (cp < 0x80) {
    o[0] = static_cast<unsigned char>(cp);
    return 1;
  }
  if (cp < 0x800) {
    o[0] = static_cast<unsigned char>(0xC0 | cp >> 6);
    o[1] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
    return 2;
  }
  if (cp < 0x10000) {
    o[0] = static_cast<unsigned char>(0xE0 | cp >> 12);
    o[1] = static_cast<unsigned char>(0x80 | (cp >> 6 & 0x3F));
    o[2] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
    return 3;
  }
  o[0] = static_cast<unsigned char>(0xF0 | cp >> 18);
  o[1] = static_cast<unsigned char>(0x80 | (cp >> 12 & 0x3F));
  o[2] = static_cast<unsigned char>(0x80 | (cp >> 6 & 0x3F));
  o[3] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
  return 4;
}

size_t console_decode(text_state& s, const uint16_t* w, size_t n, char* out,
                      bool& ended) {
  size_t made = 0;
  ended = s.held == ctrl_z;
  for (size_t i = 0; i < n && !ended; i++) {
    uint32_t u = w[i];
    uint32_t held = s.held;
    s.held = 0;
    if (held == '\r') {
      if (u == '\n') {
        out[made++] = '\n';
        s.at_line_start = true;
        continue;
      }
      out[made++] = '\r';
      s.at_line_start = false;
    } else if (held != 0) {  // the first half of a surrogate pair
      if (is_low_surrogate(u)) {
        made += put_utf8(0x10000 + ((held - 0xD800) << 10) + (u - 0xDC00),
                         out + made);
        s.at_line_start = false;
        continue;
      }
      made += put_utf8(replacement, out + made);
      s.at_line_start = false;
    }
    if (u == ctrl_z && s.at_line_start) {
      s.held = ctrl_z;  // for good: nothing more is read
      ended = true;
      break;
    }
    if (u == '\r' || is_high_surrogate(u)) {
      s.held = static_cast<uint16_t>(u);
      continue;
    }
    made += put_utf8(is_low_surrogate(u) ? replacement : u, out + made);
    s.at_line_start = u == '\n';
  }
  return made;
}

size_t text_read(text_state& s, const char* in, size_t n, char* out) {
  size_t made = 0;
  for (size_t i = 0; i < n; i++) {
    char c = in[i];
    if (s.held == '\r') {
      s.held = 0;
      if (c != '\n') out[made++] = '\r';
    }
    if (c == '\r') {
      s.held = '\r';
      continue;
    }
    out[made++] = c;
  }
  return made;
}

size_t text_drain(text_state& s, char* out) {
  uint32_t held = s.held;
  if (held == 0 || held == ctrl_z) return 0;
  s.held = 0;
  return put_utf8(held == '\r' ? held : replacement, out);
}

size_t text_write(const char* p, size_t n, char* out, size_t room,
                  size_t& made) {
  size_t used = 0;
  made = 0;
  while (used < n) {
    const char* nl = static_cast<const char*>(memchr(p + used, '\n', n - used));
    size_t run = (nl != nullptr ? static_cast<size_t>(nl - p) : n) - used;
    if (run > room - made) run = room - made;
    memcpy(out + made, p + used, run);
    made += run;
    used += run;
    if (used == n || p[used] != '\n') break;  // done, or out is full
    if (room - made < 2) break;
    out[made++] = '\r';
    out[made++] = '\n';
    used++;
  }
  return used;
}

// True when the n units at p begin with the ASCII text z.
static bool starts_with(const uint16_t* p, size_t n, const char* z) {
  size_t len = strlen(z);
  if (n < len) return false;
  for (size_t i = 0; i < len; i++) {
    if (p[i] != static_cast<unsigned char>(z[i])) return false;
  }
  return true;
}

size_t extended_path(const uint16_t* full, size_t n, uint16_t* out,
                     size_t room) {
  const char* prefix = "\\\\?\\";
  size_t skip = 0;
  if (starts_with(full, n, "\\\\?\\") || starts_with(full, n, "\\\\.\\")) {
    prefix = "";
  } else if (starts_with(full, n, "\\\\")) {
    prefix = "\\\\?\\UNC\\";
    skip = 2;  // \\server\share becomes \\?\UNC\server\share
  }
  size_t len = strlen(prefix);
  if (len + n - skip + 1 > room) return 0;
  for (size_t i = 0; i < len; i++)
    out[i] = static_cast<unsigned char>(prefix[i]);
  memcpy(out + len, full + skip, (n - skip) * sizeof *out);
  out[len + n - skip] = 0;
  return len + n - skip;
}
