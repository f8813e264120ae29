# The distribution's hardening, as Debian builds its packages (dpkg-buildflags
# with hardening=+all): fortified C library calls, a strong stack protector
# and stack-clash protection, control-flow protection on x86, a
# position-independent program, and relocations read-only after immediate
# binding (full RELRO). For native Linux builds with GCC or Clang, unless
# built with the sanitizers; _FORTIFY_SOURCE only where optimised, which it
# needs.
include(CheckCXXCompilerFlag)
include(CheckPIESupported)

set(CMAKE_POSITION_INDEPENDENT_CODE ON)
check_pie_supported(LANGUAGES CXX)
add_compile_options(
  "$<$<NOT:$<CONFIG:Debug>>:-U_FORTIFY_SOURCE;-D_FORTIFY_SOURCE=2>"
  -fstack-protector-strong -Wformat -Werror=format-security)
foreach(flag -fstack-clash-protection -fcf-protection)
  string(MAKE_C_IDENTIFIER "KARTOTEKA_HAS${flag}" known)
  check_cxx_compiler_flag(${flag} ${known})
  if(${known})
    add_compile_options(${flag})
  endif()
endforeach()
add_link_options(-Wl,-z,relro -Wl,-z,now)
