# Included by CMakeLists.txt with KARTOTEKA_RELEASE. The Linux release: the
# program statically linked (with zig and musl, see cmake/zig.cmake, or
# with one of Debian's cross compilers, see cmake/debian-cross.cmake) and
# packed with its manual page, README and licence as
# kartoteka-VERSION-linux-ARCH.tar.gz (cmake/release-tarball.cmake);
# `make release-linux` makes one for each machine. The build folder's path
# is left out of the program, so that a build anywhere gives its bytes.
if(NOT CMAKE_STRIP)
  message(FATAL_ERROR "no strip for ${CMAKE_SYSTEM_PROCESSOR}")
endif()
foreach(target kartoteka_core kartoteka)
  target_compile_options(${target} PRIVATE
                         -ffile-prefix-map=${PROJECT_SOURCE_DIR}=.
                         -ffile-prefix-map=${PROJECT_BINARY_DIR}=build)
endforeach()
set(release_name
    kartoteka-${PROJECT_VERSION}-linux-${CMAKE_SYSTEM_PROCESSOR})
add_custom_command(
  OUTPUT ${CMAKE_BINARY_DIR}/${release_name}.tar.gz
  COMMAND ${CMAKE_COMMAND} -DPROGRAM=$<TARGET_FILE:kartoteka>
          -DSTRIP=${CMAKE_STRIP} -DSOURCE=${PROJECT_SOURCE_DIR}
          -DNAME=${release_name}
          -P ${PROJECT_SOURCE_DIR}/cmake/release-tarball.cmake
  WORKING_DIRECTORY ${CMAKE_BINARY_DIR}
  DEPENDS kartoteka ${PROJECT_SOURCE_DIR}/README.md
          ${PROJECT_SOURCE_DIR}/man/kartoteka.1 ${PROJECT_SOURCE_DIR}/LICENSE
          ${PROJECT_SOURCE_DIR}/cmake/release-tarball.cmake
  COMMENT "Packing ${release_name}.tar.gz")
add_custom_target(release_tarball ALL
                  DEPENDS ${CMAKE_BINARY_DIR}/${release_name}.tar.gz)
