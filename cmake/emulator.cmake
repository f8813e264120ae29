# Included by CMakeLists.txt. Where the tests need to run a program built
# for another Linux machine (GoogleTest's listing of the unit tests at
# build time, ctest, the ports' suites), it runs natively when this kernel
# can run it and under qemu's user-mode emulator for that machine when it
# cannot. The kernel is asked by running a tiny program built for the
# machine, not by the host's name: a 64-bit x86 kernel may lack 32-bit
# support, as many virtual machines' kernels do. The choice is written into
# the build folder as run-on-target, a script that runs its arguments so,
# for the scripts that run the build's programs themselves.
if(NOT CMAKE_SYSTEM_NAME STREQUAL Linux)
  return()
endif()
set(runner ${CMAKE_BINARY_DIR}/run-on-target)
set(emulator "")
if(CMAKE_CROSSCOMPILING)
  set(probe ${CMAKE_BINARY_DIR}/machine-probe)
  try_compile(probe_built ${CMAKE_BINARY_DIR}/machine-probe-build
              ${CMAKE_CURRENT_LIST_DIR}/machine_probe.cpp
              OUTPUT_VARIABLE probe_log COPY_FILE ${probe})
  if(NOT probe_built)
    message(FATAL_ERROR "cannot build a program for ${CMAKE_SYSTEM_PROCESSOR}:\n${probe_log}")
  endif()
  execute_process(COMMAND ${probe} RESULT_VARIABLE probe_status
                  OUTPUT_QUIET ERROR_QUIET TIMEOUT 30)
  if(NOT probe_status STREQUAL "0")
    set(qemu_machine ${CMAKE_SYSTEM_PROCESSOR})
    if(qemu_machine MATCHES "^(x86|i[3-6]86)$")
      set(qemu_machine i386)
    elseif(qemu_machine MATCHES "^arm")
      set(qemu_machine arm)
    endif()
    find_program(KARTOTEKA_QEMU_${qemu_machine} qemu-${qemu_machine}-static)
    if(NOT KARTOTEKA_QEMU_${qemu_machine})
      message(FATAL_ERROR "this kernel cannot run ${CMAKE_SYSTEM_PROCESSOR} "
              "programs (${probe_status}), and qemu-${qemu_machine}-static "
              "is missing (package qemu-user-static)")
    endif()
    set(emulator ${KARTOTEKA_QEMU_${qemu_machine}})
    message(STATUS "${CMAKE_SYSTEM_PROCESSOR} programs run under ${emulator}")
  endif()
endif()
set(CMAKE_CROSSCOMPILING_EMULATOR ${emulator})
file(WRITE ${runner} "#!/bin/sh\nexec ${emulator} \"$@\"\n")
file(CHMOD ${runner} PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
     GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
