# Writes OUT, the header that holds the version quorin and quorin-report
# print: VERSION (the project version) and, when SOURCE_DIR is a git
# checkout, " (git <commit>)".  Run at every build; the file is rewritten only
# when its text changes, so an unchanged commit rebuilds nothing.
set(version "${VERSION}")
find_package(Git QUIET)
if(GIT_FOUND AND EXISTS "${SOURCE_DIR}/.git")
  execute_process(COMMAND "${GIT_EXECUTABLE}" rev-parse --short=7 HEAD
                  WORKING_DIRECTORY "${SOURCE_DIR}"
                  OUTPUT_VARIABLE commit OUTPUT_STRIP_TRAILING_WHITESPACE
                  RESULT_VARIABLE failed ERROR_QUIET)
  if(NOT failed AND commit)
    string(APPEND version " (git ${commit})")
  endif()
endif()
set(text "// Written by cmake/version.cmake at build time.\n#pragma once\n#define QUORIN_VERSION \"${version}\"\n")
set(old "")
if(EXISTS "${OUT}")
  file(READ "${OUT}" old)
endif()
if(NOT old STREQUAL text)
  file(WRITE "${OUT}" "${text}")
endif()
