# Writes OUT, a header with the program's version text: VERSION, and the
# commit when SOURCE_DIR is a git checkout (COMMIT, when given, names it
# instead: a build from an exported tree). Run at every build; the file is
# rewritten only when the text changes, so that nothing recompiles for nothing.
set(text "${VERSION}")
if(NOT COMMIT)
  find_program(GIT git)
  if(GIT AND EXISTS "${SOURCE_DIR}/.git")
    execute_process(COMMAND "${GIT}" -C "${SOURCE_DIR}" rev-parse --short=12 HEAD
                    OUTPUT_VARIABLE COMMIT OUTPUT_STRIP_TRAILING_WHITESPACE
                    RESULT_VARIABLE failed ERROR_QUIET)
    if(failed)
      set(COMMIT "")
    else()
      execute_process(COMMAND "${GIT}" -C "${SOURCE_DIR}" diff --quiet HEAD --
                      RESULT_VARIABLE dirty ERROR_QUIET)
      if(dirty)
        string(APPEND COMMIT "-dirty")
      endif()
    endif()
  endif()
endif()
if(COMMIT)
  string(APPEND text " (git ${COMMIT})")
endif()
set(content "#define NESTRAP_VERSION \"${text}\"\n")
if(EXISTS "${OUT}")
  file(READ "${OUT}" old)
endif()
if(NOT old STREQUAL content)
  file(WRITE "${OUT}" "${content}")
endif()
