# Sourced by the tests that run the Windows program under wine: exits with
# 77 (skip) when wine is not installed.
command -v wine64 >/dev/null || [ -x /usr/lib/wine/wine64 ] ||
  command -v wine >/dev/null || { echo "SKIP: needs wine (package wine64)"; exit 77; }
