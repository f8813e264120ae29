# Run by the release_tarball target in the build folder: packs NAME.tar.gz,
# the Linux program for any distribution, with a folder NAME holding the
# statically linked PROGRAM (stripped by STRIP), the manual page, the README
# and the licence from SOURCE. The tarball is the same on every build of
# one commit: its files sorted, owned by root, dated at the commit's time
# (or SOURCE_DATE_EPOCH, when the sources are not a git checkout), and
# gzip stores no name or time.
include(${CMAKE_CURRENT_LIST_DIR}/source-date.cmake)

file(REMOVE_RECURSE ${NAME} ${NAME}.tar.gz)
file(MAKE_DIRECTORY ${NAME})
execute_process(COMMAND ${STRIP} -o ${NAME}/kartoteka ${PROGRAM}
                RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "could not strip ${PROGRAM}: ${rc}")
endif()
file(COPY ${SOURCE}/man/kartoteka.1 ${SOURCE}/README.md ${SOURCE}/LICENSE
     DESTINATION ${NAME})
file(CHMOD ${NAME}/kartoteka.1 ${NAME}/README.md ${NAME}/LICENSE
     PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
file(CHMOD ${NAME}/kartoteka PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
     GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
file(CHMOD ${NAME} PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
     GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

execute_process(
  COMMAND tar --sort=name --owner=0 --group=0 --numeric-owner
          --mtime=@$ENV{SOURCE_DATE_EPOCH} --format=gnu -cf ${NAME}.tar ${NAME}
  RESULT_VARIABLE rc)
if(rc EQUAL 0)
  execute_process(COMMAND gzip -9nf ${NAME}.tar RESULT_VARIABLE rc)
endif()
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "could not pack ${NAME}.tar.gz: ${rc}")
endif()
