# Cross-building for IBM Z (s390x), a big-endian machine, with Debian's
# g++-s390x-linux-gnu; the program is linked statically, so that
# qemu-s390x-static runs it without a sysroot:
#   cmake -S . -B DIR -DCMAKE_TOOLCHAIN_FILE=cmake/s390x-linux-gnu.cmake
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR s390x)
set(CMAKE_C_COMPILER s390x-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER s390x-linux-gnu-g++)
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)
set(CMAKE_FIND_ROOT_PATH /usr/s390x-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Programs built for it run under qemu's user-mode emulation.
find_program(KARTOTEKA_QEMU_S390X qemu-s390x-static)
if(KARTOTEKA_QEMU_S390X)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${KARTOTEKA_QEMU_S390X})
endif()
