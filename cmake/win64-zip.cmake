# Run by the win64_zip target in the build folder: packs NAME.zip with a
# folder NAME holding PROGRAM, README.txt (SOURCE/README.md) and
# kartoteka.txt (the manual page SOURCE/man/kartoteka.1 rendered by GROFF
# as plain text). The texts get CR LF line ends and a byte order mark, so
# that every Windows editor shows them as UTF-8.
set(stage ${NAME})
file(REMOVE_RECURSE ${stage} ${NAME}.zip)
file(MAKE_DIRECTORY ${stage})
file(COPY ${PROGRAM} DESTINATION ${stage})

# Writes text to file the Windows way.
string(ASCII 239 187 191 byte_order_mark)
function(write_windows_text file text)
  string(REPLACE "\n" "\r\n" text "${text}")
  file(WRITE ${file} "${byte_order_mark}${text}")
endfunction()

file(READ ${SOURCE}/README.md readme)
write_windows_text(${stage}/README.txt "${readme}")

execute_process(
  COMMAND ${GROFF} -k -man -Tutf8 -P-cbou ${SOURCE}/man/kartoteka.1
  OUTPUT_VARIABLE manual RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "groff could not render the manual page: ${rc}")
endif()
write_windows_text(${stage}/kartoteka.txt "${manual}")

execute_process(COMMAND ${CMAKE_COMMAND} -E tar cf ${NAME}.zip --format=zip
                        ${stage} RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "could not pack ${NAME}.zip: ${rc}")
endif()
