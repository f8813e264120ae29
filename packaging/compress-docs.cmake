# Run by CPack after it has installed the files it packs: compresses the
# manual page, as Debian packages carry them (gzip -9n, no name or time
# stored, so the same page gives the same bytes).
file(GLOB_RECURSE pages "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*.1")
list(FILTER pages INCLUDE REGEX "/man1/[^/]*\\.1$")
if(NOT pages)
  message(FATAL_ERROR "no manual page under ${CPACK_TEMPORARY_INSTALL_DIRECTORY}")
endif()
foreach(page ${pages})
  execute_process(COMMAND gzip -9nf "${page}" RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "gzip ${page}: ${rc}")
  endif()
endforeach()
