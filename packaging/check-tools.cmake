# Run by CPack before it packs: a Debian package needs dpkg-shlibdeps (from
# dpkg-dev) to declare the libraries the program needs; without it the
# package would claim less than it needs, so packing stops here.
find_program(shlibdeps dpkg-shlibdeps)
if(NOT shlibdeps)
  message(FATAL_ERROR
    "dpkg-shlibdeps is not installed: it works out the package's "
    "dependencies. Install dpkg-dev (sudo apt-get install dpkg-dev), "
    "or run `make deb` as root, which installs it.")
endif()
