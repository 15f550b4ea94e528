# Reads Doxygen's warning log (WARN_FORMAT "$file:$line: $text") and fails
# on any warning: an undocumented public or protected member of any
# installed header, a bad command, a broken reference.
# Usage: cmake -DLOG=... -P this
if(NOT EXISTS "${LOG}")
  message(FATAL_ERROR "No Doxygen warning log at ${LOG}")
endif()
file(READ "${LOG}" text)
# List separators and brackets in warning texts would split CMake lists.
string(REPLACE ";" "<semicolon>" text "${text}")
string(REPLACE "[" "<lbracket>" text "${text}")
string(REPLACE "]" "<rbracket>" text "${text}")
string(REPLACE "\n" ";" lines "${text}")

set(failures 0)
function(report entry)
  if(entry STREQUAL "")
    return()
  endif()
  math(EXPR n "${failures} + 1")
  set(failures ${n} PARENT_SCOPE)
  string(REPLACE "<semicolon>" ";" entry "${entry}")
  string(REPLACE "<lbracket>" "[" entry "${entry}")
  string(REPLACE "<rbracket>" "]" entry "${entry}")
  message("${entry}")
endfunction()

# A warning may span lines; a new one starts with "path:line: ".
set(current "")
foreach(line IN LISTS lines)
  if(line MATCHES "^[^ \t][^:]*:[0-9]+: ")
    report("${current}")
    set(current "${line}")
  elseif(NOT line STREQUAL "")
    string(APPEND current "\n${line}")
  endif()
endforeach()
report("${current}")

if(failures GREATER 0)
  message(FATAL_ERROR "API reference: ${failures} Doxygen warning(s) above")
endif()
message(STATUS "API reference: no warnings")
