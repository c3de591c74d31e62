# Fails unless the shared library LIB defines exactly the expected dynamic
# symbols: the eight exported functions, nothing of SQLite, yyjson, the
# library's internals or the C++ runtime.
include(${CMAKE_CURRENT_LIST_DIR}/exported_functions.cmake)
set(expected ${SQLR_EXPORTED_FUNCTIONS})
find_program(NM NAMES nm REQUIRED)
execute_process(COMMAND ${NM} -D --defined-only ${LIB}
  OUTPUT_VARIABLE out RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "nm failed on ${LIB}")
endif()
string(REPLACE "\n" ";" lines "${out}")
set(found)
foreach(line IN LISTS lines)
  if(line MATCHES "^[0-9a-fA-F]+ [A-Za-z] ([^ ]+)$")
    list(APPEND found ${CMAKE_MATCH_1})
  endif()
endforeach()
list(SORT found)
list(SORT expected)
if(NOT found STREQUAL expected)
  message(FATAL_ERROR "exported symbols differ\n  expected: ${expected}\n  found:    ${found}")
endif()
message(STATUS "exported: ${found}")
