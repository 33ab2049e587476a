cmake_minimum_required(VERSION 3.25)
# The exit statuses of common/exitcode.h are the ones the manual page and the
# operator guide explain: no name without its line, no line without its name.
file(READ ${SOURCE_DIR}/src/common/exitcode.h text)
string(REGEX MATCHALL "kExit[A-Za-z]+ = -?[0-9]+" named "${text}")
list(TRANSFORM named REPLACE ".* = " "")
list(TRANSFORM named REPLACE "^-1$" "255")  # as the shell sees -1
file(READ ${SOURCE_DIR}/dist/man/nestrap.8 text)
string(REGEX MATCH "\n\\.SH EXIT STATUS\n([^.]|\\.[^S]|\\.S[^H])*" text "${text}")
string(REGEX MATCHALL "\n\\.B [0-9]+\n" man "${text}")
list(TRANSFORM man REPLACE "[^0-9]" "")
file(READ ${SOURCE_DIR}/docs/operator.md text)
string(REGEX MATCH "\nExit status: ([^\n]|\n[^\n])*" text "${text}")
string(REPLACE ";" "," text "${text}")  # not a list separator
string(REGEX MATCHALL "[:,][ \n][0-9]+ " guide "${text}")
list(TRANSFORM guide REPLACE "[^0-9]" "")
foreach(doc man guide)
  foreach(a b IN ZIP_LISTS named ${doc})
    if(NOT "${a}" STREQUAL "${b}")
      message(FATAL_ERROR "exit statuses named: ${named}; in the ${doc}: ${${doc}}")
    endif()
  endforeach()
endforeach()
