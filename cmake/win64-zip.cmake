# Run by the win64_zip target in the build folder: packs NAME.zip with ZIP,
# the download a Windows user unpacks, with a folder NAME holding
#   kartoteka.exe  PROGRAM, stripped by STRIP of its symbols and debugging
#                  sections
#   README.txt     SOURCE/packaging/windows/README.txt, in Russian, for
#                  Windows users first, with @NAME@ standing for NAME
#   MANUAL.txt     the manual page SOURCE/man/kartoteka.1 rendered by GROFF
#                  as plain text, as the Windows manual (register W 1)
#   LICENSE.txt    SOURCE/LICENSE
# The texts get CR LF line ends, and those in Russian a byte order mark, so
# that every Windows editor shows them as UTF-8. The zip is the same on
# every build of one commit: its files come in a fixed order with fixed
# permissions, all dated at the commit's time (or SOURCE_DATE_EPOCH, when
# the sources are not a git checkout).
set(stage ${NAME})
file(REMOVE_RECURSE ${stage} ${NAME}.zip)
file(MAKE_DIRECTORY ${stage})

# The date of every file, and of the program's header (strip reads
# SOURCE_DATE_EPOCH): the commit's.
include(${CMAKE_CURRENT_LIST_DIR}/source-date.cmake)

execute_process(COMMAND ${STRIP} --strip-all -o ${stage}/kartoteka.exe
                        ${PROGRAM} RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "could not strip ${PROGRAM}: ${rc}")
endif()

# Writes text to file the Windows way.
string(ASCII 239 187 191 byte_order_mark)
function(write_windows_text file text mark)
  string(REPLACE "\n" "\r\n" text "${text}")
  file(WRITE ${file} "${mark}${text}")
endfunction()

file(READ ${SOURCE}/packaging/windows/README.txt readme)
string(CONFIGURE "${readme}" readme @ONLY)
write_windows_text(${stage}/README.txt "${readme}" "${byte_order_mark}")

execute_process(
  COMMAND ${GROFF} -k -man -Tutf8 -P-cbou -rW1 ${SOURCE}/man/kartoteka.1
  OUTPUT_VARIABLE manual RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "groff could not render the manual page: ${rc}")
endif()
write_windows_text(${stage}/MANUAL.txt "${manual}" "${byte_order_mark}")

file(READ ${SOURCE}/LICENSE license)
write_windows_text(${stage}/LICENSE.txt "${license}" "")

set(files kartoteka.exe README.txt MANUAL.txt LICENSE.txt)
foreach(f ${files})
  set(mode OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  if(f MATCHES "[.]exe$")
    list(APPEND mode OWNER_EXECUTE GROUP_EXECUTE WORLD_EXECUTE)
  endif()
  file(CHMOD ${stage}/${f} PERMISSIONS ${mode})
endforeach()

# Packed by zip with no extra fields (their access and change times would
# differ from build to build), the dates read as UTC.
list(TRANSFORM files PREPEND ${stage}/)
execute_process(COMMAND touch -d @$ENV{SOURCE_DATE_EPOCH} ${files}
                RESULT_VARIABLE rc)
if(rc EQUAL 0)
  execute_process(COMMAND ${CMAKE_COMMAND} -E env TZ=UTC
                          ${ZIP} -X -D -q ${NAME}.zip ${files}
                  RESULT_VARIABLE rc)
endif()
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "could not pack ${NAME}.zip: ${rc}")
endif()
