# Included by the packing scripts: sets SOURCE_DATE_EPOCH, the one date of
# everything packed, to the time of the commit the sources are (git, from
# SOURCE), so that every build of one commit packs the same bytes; where
# the sources are not a git checkout, as the environment sets it, or else
# a fixed date.
execute_process(COMMAND git -C ${SOURCE} log -1 --format=%ct
                OUTPUT_VARIABLE commit_time OUTPUT_STRIP_TRAILING_WHITESPACE
                RESULT_VARIABLE rc ERROR_QUIET)
if(rc EQUAL 0 AND commit_time MATCHES "^[0-9]+$")
  set(ENV{SOURCE_DATE_EPOCH} ${commit_time})
endif()
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})
  set(ENV{SOURCE_DATE_EPOCH} 1767225600)  # 2026-01-01, for want of better
endif()
