# Compiles a one-line file that includes ALLOWED, then one that includes
# FORBIDDEN, with INCLUDES ("|"-separated) as the only include path. The first
# must compile and the second must fail for want of the header.
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

file(WRITE ${WORKDIR}/forbidden.cc "#include \"${FORBIDDEN}\"\n")
execute_process(COMMAND ${COMPILER} ${flags} ${WORKDIR}/forbidden.cc
                RESULT_VARIABLE rc ERROR_VARIABLE err)
if(rc EQUAL 0 OR NOT err MATCHES "No such file|not found")
  message(FATAL_ERROR "${FORBIDDEN} should not be reachable here:\n${err}")
endif()
message(STATUS "${ALLOWED} reachable, ${FORBIDDEN} not")
