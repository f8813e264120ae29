# Included by CMakeLists.txt. Installing: the program into bin/, its
# manual page into share/man/man1/, and the licence (as copyright) and
# changelog into share/doc/kartoteka/ under the prefix. `cpack -G DEB` packs the same files, the page and the
# changelog gzipped, into a Debian package.
include(GNUInstallDirs)
install(TARGETS kartoteka RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${PROJECT_SOURCE_DIR}/man/kartoteka.1
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR}
        RENAME copyright)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/changelog
        DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kartoteka)
set(CPACK_PACKAGE_CONTACT "kartoteka developers <kartoteka@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "card index of people for the console, in Russian")
set(CPACK_PACKAGE_DESCRIPTION
    "An interactive menu program that keeps person records (name, sex,
nationality, religion, height, weight, telephone, birth date and postal
address) in memory, shows them page by page, saves them to a text file,
loads them back and searches them by any of their eighteen fields.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The program's dependencies (the C and C++ libraries and GCC's runtime,
# with their versions) are worked out by dpkg-shlibdeps, from dpkg-dev,
# which `make deb` installs; a package made without it would declare them
# wrong, so packing then stops with a message (packaging/check-tools.cmake).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_PRE_BUILD_SCRIPTS
    ${CMAKE_CURRENT_LIST_DIR}/check-tools.cmake
    ${CMAKE_CURRENT_LIST_DIR}/strip-program.cmake
    ${CMAKE_CURRENT_LIST_DIR}/compress-docs.cmake)
include(CPack)
