# The Windows program's extras, included by CMakeLists.txt when building
# for Windows: the package kartoteka-VERSION-win64.zip, and, when the build
# is a cross-build on Linux, the means to run what it makes under wine.

# One self-contained program: MinGW-w64's C++ and GCC runtimes and
# winpthread linked in, so that only Windows' own DLLs are needed. No time
# stamp in the program's header: every build of one commit is the same.
if(MINGW)
  add_link_options(-static -Wl,--no-insert-timestamp)
endif()

# The program's resources: version information from the project's version,
# and the application manifest (the Windows versions it supports, long
# paths, no elevation). CMakeLists.txt adds windows_resources to the
# program's sources.
enable_language(RC)
set(KARTOTEKA_MANIFEST ${CMAKE_BINARY_DIR}/kartoteka.manifest)
configure_file(${PROJECT_SOURCE_DIR}/packaging/windows/kartoteka.manifest.in
               ${KARTOTEKA_MANIFEST} @ONLY)
configure_file(${PROJECT_SOURCE_DIR}/packaging/windows/kartoteka.rc.in
               ${CMAKE_BINARY_DIR}/kartoteka.rc @ONLY)
set(windows_resources ${CMAKE_BINARY_DIR}/kartoteka.rc)

if(CMAKE_CROSSCOMPILING)
  # build/wine-run runs a Windows program headless in the build's own wine
  # prefix, build/wine; CMake and ctest run the test programs through it.
  # build/kartoteka runs the program so, for the test scripts.
  set(wine_prefix ${CMAKE_BINARY_DIR}/wine)
  set(wine_run ${CMAKE_BINARY_DIR}/wine-run)
  set(program ${CMAKE_BINARY_DIR}/kartoteka.exe)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/wine-run.in ${wine_run} @ONLY)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/wine-program.in
                 ${CMAKE_BINARY_DIR}/kartoteka @ONLY)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${wine_run})
endif()

# The zip a Windows user unpacks: the program, stripped, a README for
# Windows users, the manual page as plain text and the licence, the texts
# with Windows line ends (cmake/win64-zip.cmake). Rendering the page needs
# groff, and packing it zip; without them there is no zip.
find_program(KARTOTEKA_GROFF groff)
find_program(KARTOTEKA_ZIP zip)
if(KARTOTEKA_GROFF AND KARTOTEKA_ZIP)
  set(zip_name kartoteka-${PROJECT_VERSION}-win64)
  add_custom_command(
    OUTPUT ${CMAKE_BINARY_DIR}/${zip_name}.zip
    COMMAND ${CMAKE_COMMAND} -DPROGRAM=$<TARGET_FILE:kartoteka>
            -DSTRIP=${CMAKE_STRIP} -DSOURCE=${PROJECT_SOURCE_DIR}
            -DNAME=${zip_name} -DGROFF=${KARTOTEKA_GROFF}
            -DZIP=${KARTOTEKA_ZIP}
            -P ${PROJECT_SOURCE_DIR}/cmake/win64-zip.cmake
    WORKING_DIRECTORY ${CMAKE_BINARY_DIR}
    DEPENDS kartoteka ${PROJECT_SOURCE_DIR}/packaging/windows/README.txt
            ${PROJECT_SOURCE_DIR}/man/kartoteka.1 ${PROJECT_SOURCE_DIR}/LICENSE
            ${PROJECT_SOURCE_DIR}/cmake/win64-zip.cmake
    COMMENT "Packing ${zip_name}.zip")
  add_custom_target(win64_zip ALL DEPENDS ${CMAKE_BINARY_DIR}/${zip_name}.zip)
else()
  message(STATUS "groff or zip not found: no kartoteka-*-win64.zip")
endif()
