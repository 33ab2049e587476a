# Compiles a one-line file that includes ALLOWED, then one for each header of
# FORBIDDEN, with INCLUDES as the only include path (both "|"-separated). The
# first must compile and the others must fail for want of the header.
string(REPLACE "|" ";" dirs "${INCLUDES}")
set(flags -std=c++20 -fsyntax-only)
foreach(d ${dirs})
  list(APPEND flags "-I${d}")
endforeach()
file(MAKE_DIRECTORY ${WORKDIR})

file(WRITE ${WORKDIR}/allowed.cc "#include \"${ALLOWED}\"\n")
execute_process(COMMAND ${COMPILER} ${flags} ${WORKDIR}/allowed.cc
                RESULT_VARIABLE rc ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${ALLOWED} should compile here:\n${err}")
endif()

string(REPLACE "|" ";" forbidden "${FORBIDDEN}")
foreach(header ${forbidden})
  file(WRITE ${WORKDIR}/forbidden.cc "#include \"${header}\"\n")
  execute_process(COMMAND ${COMPILER} ${flags} ${WORKDIR}/forbidden.cc
                  RESULT_VARIABLE rc ERROR_VARIABLE err)
  if(rc EQUAL 0 OR NOT err MATCHES "No such file|not found")
    message(FATAL_ERROR "${header} should not be reachable here:\n${err}")
  endif()
endforeach()
message(STATUS "${ALLOWED} reachable, ${FORBIDDEN} not")
