# Cross-building with one of Debian's cross compilers (g++-TRIPLE), the
# program linked statically, so that qemu's user-mode emulation runs it
# without a sysroot:
#   cmake -S . -B DIR -DCMAKE_TOOLCHAIN_FILE=cmake/debian-cross.cmake \
#     -DCROSS_TRIPLE=s390x-linux-gnu
# CROSS_TRIPLE is s390x-linux-gnu (IBM Z, big-endian) or
# arm-linux-gnueabihf (32-bit ARM with hardware floating point, ARMv7).
set(CMAKE_TRY_COMPILE_PLATFORM_VARIABLES CROSS_TRIPLE)
if(CROSS_TRIPLE STREQUAL s390x-linux-gnu)
  set(CMAKE_SYSTEM_PROCESSOR s390x)
elseif(CROSS_TRIPLE STREQUAL arm-linux-gnueabihf)
  set(CMAKE_SYSTEM_PROCESSOR armv7)
else()
  message(FATAL_ERROR
          "CROSS_TRIPLE is s390x-linux-gnu or arm-linux-gnueabihf, not '${CROSS_TRIPLE}'")
endif()
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${CROSS_TRIPLE}-g++)
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)
set(CMAKE_FIND_ROOT_PATH /usr/${CROSS_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
