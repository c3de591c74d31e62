# Installs the build tree BUILD_DIR into PREFIX (emptied first) and compares the
# installed files with the list in EXPECTED: one path a line, relative to the
# prefix, "link -> target" for a symbolic link. Anything missing or extra fails.
#
#   cmake -DBUILD_DIR=... -DPREFIX=... -DEXPECTED=... -P check_install.cmake
file(REMOVE_RECURSE "${PREFIX}")
execute_process(COMMAND ${CMAKE_COMMAND} --install "${BUILD_DIR}" --prefix "${PREFIX}"
  OUTPUT_VARIABLE out ERROR_VARIABLE out RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cmake --install failed:\n${out}")
endif()

file(GLOB_RECURSE paths LIST_DIRECTORIES false RELATIVE "${PREFIX}" "${PREFIX}/*")
set(found)
foreach(path IN LISTS paths)
  if(IS_SYMLINK "${PREFIX}/${path}")
    file(READ_SYMLINK "${PREFIX}/${path}" target)
    list(APPEND found "${path} -> ${target}")
  else()
    list(APPEND found "${path}")
  endif()
endforeach()
file(STRINGS "${EXPECTED}" expected)
list(SORT found)
list(SORT expected)
if(NOT found STREQUAL expected)
  set(missing ${expected})
  list(REMOVE_ITEM missing ${found})
  set(extra ${found})
  list(REMOVE_ITEM extra ${expected})
  list(JOIN missing "\n    " missing)
  list(JOIN extra "\n    " extra)
  message(FATAL_ERROR "installed files differ from the expected layout\n"
    "  missing:\n    ${missing}\n  unexpected:\n    ${extra}")
endif()
list(LENGTH found n)
message(STATUS "${n} files installed as expected in ${PREFIX}")
