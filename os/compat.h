// The compiler's own facilities that the program's logic uses, behind
// plain names, so that a compiler without them needs changes here only:
// eight bytes loaded in memory order, the lowest set bit, prefetching, and
// printf-style format checking.
#ifndef KARTOTEKA_OS_COMPAT_H_
#define KARTOTEKA_OS_COMPAT_H_

#include <cstdint>
#include <cstring>

// The eight bytes at p as one number whose lowest byte is p[0], whatever
// the machine's byte order.
inline uint64_t load_first_lowest(const char* p) {
  uint64_t x;
  memcpy(&x, p, sizeof x);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
  x = __builtin_bswap64(x);
#endif
  return x;
}

// The number of the lowest set bit of x, which must not be 0.
inline int lowest_bit(uint64_t x) {
#if defined(__GNUC__)
  return __builtin_ctzll(x);
#else
  int n = 0;
  while ((x & 1) == 0) {
    x >>= 1;
    n++;
  }
  return n;
#endif
}

// Asks for the cache lines of the n bytes at p ahead of use, to be read or,
// with for_writing, written. A hint only.
inline void prefetch(const void* p, size_t n, bool for_writing) {
#if defined(__GNUC__)
  const char* bytes = static_cast<const char*>(p);
  for (size_t at = 0; at < n; at += 64) {
    if (for_writing)
      __builtin_prefetch(bytes + at, 1);
    else
      __builtin_prefetch(bytes + at, 0);
  }
#else
  (void)p;
  (void)n;
  (void)for_writing;
#endif
}

// Marks a function whose argument number string is a printf format, with
// its arguments from number first on, so that the compiler checks them.
#if defined(__GNUC__)
#define PRINTF_FORMAT(string, first) \
  __attribute__((format(printf, string, first)))
#else
#define PRINTF_FORMAT(string, first)
#endif

#endif  // KARTOTEKA_OS_COMPAT_H_
