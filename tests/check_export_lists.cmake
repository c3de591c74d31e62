# The linker's export lists name exactly the eight functions: src/exports.map
# (ELF version script) and src/exports.def (Windows; also installed for hosts
# that make their own import library from it, so it must not drift even where
# the build does not read it).
#
#   cmake -DSOURCE_DIR=<repository root> -P check_export_lists.cmake
include(${CMAKE_CURRENT_LIST_DIR}/exported_functions.cmake)
set(expected ${SQLR_EXPORTED_FUNCTIONS})
list(SORT expected)

# exports.def: the names listed under EXPORTS, one a line; and the DLL name.
file(STRINGS "${SOURCE_DIR}/src/exports.def" def_lines)
set(def_names)
set(library)
set(in_exports FALSE)
foreach(line IN LISTS def_lines)
  string(STRIP "${line}" line)
  if(line MATCHES "^LIBRARY[ \t]+(.+)$")
    set(library "${CMAKE_MATCH_1}")
  elseif(line STREQUAL "EXPORTS")
    set(in_exports TRUE)
  elseif(in_exports AND NOT line STREQUAL "" AND NOT line MATCHES "^;")
    list(APPEND def_names "${line}")
  endif()
endforeach()
list(SORT def_names)
if(NOT def_names STREQUAL expected)
  message(FATAL_ERROR "src/exports.def differs\n  expected: ${expected}\n  found:    ${def_names}")
endif()
if(NOT library STREQUAL "kestrova-sqlite-reader")
  message(FATAL_ERROR "src/exports.def names the library '${library}'")
endif()

# exports.map: the names between "global:" and "local:".
file(READ "${SOURCE_DIR}/src/exports.map" map)
if(NOT map MATCHES "global:(.*)local:")
  message(FATAL_ERROR "src/exports.map has no global: ... local: section")
endif()
string(REGEX MATCHALL "[A-Za-z_][A-Za-z0-9_]*" map_names "${CMAKE_MATCH_1}")
list(SORT map_names)
if(NOT map_names STREQUAL expected)
  message(FATAL_ERROR "src/exports.map differs\n  expected: ${expected}\n  found:    ${map_names}")
endif()
message(STATUS "export lists agree: ${expected}")
