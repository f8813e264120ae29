# The Windows program's extras, included by CMakeLists.txt when building
# for Windows: the package kartoteka-VERSION-win64.zip, and, when the build
# is a cross-build on Linux, the means to run what it makes under wine.

# One self-contained program: MinGW-w64's C++ and GCC runtimes and
# winpthread linked in, so that only Windows' own DLLs are needed.
if(MINGW)
  add_link_options(-static)
endif()

if(CMAKE_CROSSCOMPILING)
  # build/wine-run runs a Windows program headless in the build's own wine
  # prefix, build/wine; CMake and ctest run the test programs through it.
  # build/kartoteka runs the program so, for the test scripts.
  set(wine_prefix ${CMAKE_BINARY_DIR}/wine)
  set(wine_run ${CMAKE_BINARY_DIR}/wine-run)
  set(program ${CMAKE_BINARY_DIR}/kartoteka.exe)
  configure_file(${PROJECT_SOURCE_DIR}/tests/windows/wine-run.in ${wine_run}
                 @ONLY)
  configure_file(${PROJECT_SOURCE_DIR}/tests/windows/program.in
                 ${CMAKE_BINARY_DIR}/kartoteka @ONLY)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${wine_run})
endif()

# The zip a Windows user unpacks: the program, the README and the manual
# page as plain text, both with Windows line ends. Rendering the page needs
# groff; without it there is no zip.
find_program(KARTOTEKA_GROFF groff)
if(KARTOTEKA_GROFF)
  set(zip_name kartoteka-${PROJECT_VERSION}-win64)
  add_custom_command(
    OUTPUT ${CMAKE_BINARY_DIR}/${zip_name}.zip
    COMMAND ${CMAKE_COMMAND} -DPROGRAM=$<TARGET_FILE:kartoteka>
            -DSOURCE=${PROJECT_SOURCE_DIR} -DNAME=${zip_name}
            -DGROFF=${KARTOTEKA_GROFF}
            -P ${PROJECT_SOURCE_DIR}/cmake/win64-zip.cmake
    WORKING_DIRECTORY ${CMAKE_BINARY_DIR}
    DEPENDS kartoteka ${PROJECT_SOURCE_DIR}/README.md
            ${PROJECT_SOURCE_DIR}/man/kartoteka.1
            ${PROJECT_SOURCE_DIR}/cmake/win64-zip.cmake
    COMMENT "Packing ${zip_name}.zip")
  add_custom_target(win64_zip ALL DEPENDS ${CMAKE_BINARY_DIR}/${zip_name}.zip)
else()
  message(STATUS "groff not found: no kartoteka-*-win64.zip")
endif()
