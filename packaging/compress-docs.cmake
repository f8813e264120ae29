# Run by CPack after it has installed the files it packs: compresses the
# manual page and the changelog, as Debian packages carry them (gzip -9n,
# no name or time stored, so the same file gives the same bytes).
file(GLOB_RECURSE pages "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*.1")
list(FILTER pages INCLUDE REGEX "/man1/[^/]*\\.1$")
file(GLOB_RECURSE changelogs "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*/changelog")
if(NOT pages OR NOT changelogs)
  message(FATAL_ERROR "no manual page or changelog under ${CPACK_TEMPORARY_INSTALL_DIRECTORY}")
endif()
foreach(file ${pages} ${changelogs})
  execute_process(COMMAND gzip -9nf "${file}" RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "gzip ${file}: ${rc}")
  endif()
endforeach()
