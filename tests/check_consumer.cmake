# Builds the consumer program in SOURCE_DIR against the package installed in
# PREFIX, the way a user would, and runs it on an empty database file.
#
#   MODE=find_package  a CMake project: find_package(kestrova-sqlite-reader)
#   MODE=pkg-config    the C compiler CC with the flags PKG_CONFIG gives
#
#   cmake -DMODE=... -DPREFIX=... -DWORK_DIR=... -DSOURCE_DIR=... -DLIBDIR=...
#         -DVERSION=... -DCC=... [-DPKG_CONFIG=...] -P check_consumer.cmake
function(run what)
  execute_process(COMMAND ${ARGN} OUTPUT_VARIABLE out ERROR_VARIABLE out RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${what} failed (${rc}):\n${out}")
  endif()
  set(out "${out}" PARENT_SCOPE)
endfunction()

file(REMOVE_RECURSE "${WORK_DIR}")
file(MAKE_DIRECTORY "${WORK_DIR}")
# An empty file is a database without tables.
file(WRITE "${WORK_DIR}/empty.db" "")

if(MODE STREQUAL "find_package")
  run("configuring the consumer" ${CMAKE_COMMAND} -S "${SOURCE_DIR}" -B "${WORK_DIR}/build"
      -DCMAKE_C_COMPILER=${CC} -DCMAKE_PREFIX_PATH=${PREFIX} -DSQLR_VERSION=${VERSION}
      -DSQLR_PREFIX=${PREFIX} -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF)
  run("building the consumer" ${CMAKE_COMMAND} --build "${WORK_DIR}/build")
  # The build tree's run path leads to the installed library.
  run("running the consumer" "${WORK_DIR}/build/consumer" "${WORK_DIR}/empty.db")

elseif(MODE STREQUAL "pkg-config")
  if(NOT PKG_CONFIG)
    message(FATAL_ERROR "pkg-config not found (scripts/install-packages build installs it)")
  endif()
  # Only the installed tree is searched, not the system's folders.
  set(ENV{PKG_CONFIG_LIBDIR} "${PREFIX}/${LIBDIR}/pkgconfig")
  unset(ENV{PKG_CONFIG_PATH})
  run("pkg-config --modversion" ${PKG_CONFIG} --modversion kestrova-sqlite-reader)
  string(STRIP "${out}" modversion)
  if(NOT modversion STREQUAL VERSION)
    message(FATAL_ERROR "pkg-config reports version '${modversion}', expected '${VERSION}'")
  endif()
  run("pkg-config --cflags --libs" ${PKG_CONFIG} --cflags --libs kestrova-sqlite-reader)
  separate_arguments(flags UNIX_COMMAND "${out}")
  run("compiling the consumer" ${CC} -std=c99 -Wall -Wextra -Wpedantic -Werror
      "${SOURCE_DIR}/consumer.c" ${flags} -o "${WORK_DIR}/consumer")
  run("running the consumer" ${CMAKE_COMMAND} -E env "LD_LIBRARY_PATH=${PREFIX}/${LIBDIR}"
      "${WORK_DIR}/consumer" "${WORK_DIR}/empty.db")

else()
  message(FATAL_ERROR "check_consumer.cmake: MODE must be find_package or pkg-config")
endif()
message(STATUS "${out}")
