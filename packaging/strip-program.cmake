# Run by CPack after it has installed the files it packs: strips the
# program as Debian's own tools do (dh_strip), of its symbols and of the
# compiler's .comment notes, which a package does not need.
file(GLOB programs "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/usr/bin/*")
if(NOT programs)
  message(FATAL_ERROR "no program under ${CPACK_TEMPORARY_INSTALL_DIRECTORY}/usr/bin")
endif()
foreach(program ${programs})
  execute_process(COMMAND strip --remove-section=.comment
                          --remove-section=.note --strip-unneeded ${program}
                  RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "strip ${program}: ${rc}")
  endif()
endforeach()
