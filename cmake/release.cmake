# Included by CMakeLists.txt with KARTOTEKA_RELEASE. The Linux release: the
# program statically linked (with zig and musl, see
# cmake/zig.cmake) and packed with its manual page, README and licence as
# kartoteka-VERSION-linux-ARCH.tar.gz (cmake/release-tarball.cmake);
# `make release-linux` makes it.
find_program(KARTOTEKA_HOST_STRIP strip REQUIRED)
set(release_name
    kartoteka-${PROJECT_VERSION}-linux-${CMAKE_SYSTEM_PROCESSOR})
add_custom_command(
  OUTPUT ${CMAKE_BINARY_DIR}/${release_name}.tar.gz
  COMMAND ${CMAKE_COMMAND} -DPROGRAM=$<TARGET_FILE:kartoteka>
          -DSTRIP=${KARTOTEKA_HOST_STRIP} -DSOURCE=${PROJECT_SOURCE_DIR}
          -DNAME=${release_name}
          -P ${PROJECT_SOURCE_DIR}/cmake/release-tarball.cmake
  WORKING_DIRECTORY ${CMAKE_BINARY_DIR}
  DEPENDS kartoteka ${PROJECT_SOURCE_DIR}/README.md
          ${PROJECT_SOURCE_DIR}/man/kartoteka.1 ${PROJECT_SOURCE_DIR}/LICENSE
          ${PROJECT_SOURCE_DIR}/cmake/release-tarball.cmake
  COMMENT "Packing ${release_name}.tar.gz")
add_custom_target(release_tarball ALL
                  DEPENDS ${CMAKE_BINARY_DIR}/${release_name}.tar.gz)
