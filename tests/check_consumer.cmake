# Builds a consumer program the way a user would, and runs it on an empty
# database file.
#
#   MODE=find_package     the CMake project in SOURCE_DIR against the package
#                         installed in PREFIX: find_package(kestrova-sqlite-reader)
#   MODE=pkg-config       consumer.c in SOURCE_DIR, compiled by CC with the flags
#                         PKG_CONFIG gives for PREFIX
#   MODE=add_subdirectory the CMake project in SOURCE_DIR, which adds the
#                         library's tree LIBRARY_SOURCE_DIR to its own
#
#   cmake -DMODE=... -DWORK_DIR=... -DSOURCE_DIR=... -DCC=... [-DCXX=...]
#         [-DPREFIX=... -DLIBDIR=... -DVERSION=... -DPKG_CONFIG=...]
#         [-DLIBRARY_SOURCE_DIR=... -DDEPS_DIR=...]
#         [-DTOOLCHAIN=... -DEMULATOR=a|b|c]   cross-built (Windows, run under wine)
#         -P check_consumer.cmake
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

# The emulator comes as one argument, its words separated by "|".
string(REPLACE "|" ";" emulator "${EMULATOR}")

if(MODE STREQUAL "find_package")
  if(TOOLCHAIN)
    # A cross toolchain re-roots package searches into its sysroot, so the
    # package's folder is named directly.
    set(where -DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN}
        -Dkestrova-sqlite-reader_DIR=${PREFIX}/${LIBDIR}/cmake/kestrova-sqlite-reader)
  else()
    set(where -DCMAKE_C_COMPILER=${CC} -DCMAKE_PREFIX_PATH=${PREFIX})
  endif()
  run("configuring the consumer" ${CMAKE_COMMAND} -S "${SOURCE_DIR}" -B "${WORK_DIR}/build"
      ${where} -DSQLR_VERSION=${VERSION} -DSQLR_PREFIX=${PREFIX}
      -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF)
  run("building the consumer" ${CMAKE_COMMAND} --build "${WORK_DIR}/build")
  if(TOOLCHAIN)
    # Windows looks for the DLL beside the program first.
    file(COPY "${PREFIX}/bin/kestrova-sqlite-reader.dll" DESTINATION "${WORK_DIR}/build")
    run("running the consumer" ${emulator} "${WORK_DIR}/build/consumer.exe" "${WORK_DIR}/empty.db")
  else()
    # The build tree's run path leads to the installed library.
    run("running the consumer" "${WORK_DIR}/build/consumer" "${WORK_DIR}/empty.db")
    # While the major version is 0, a project written for an earlier minor
    # version must not take this one.
    string(REPLACE "." ";" parts "${VERSION}")
    list(GET parts 0 major)
    list(GET parts 1 minor)
    if(major EQUAL 0 AND minor GREATER 0)
      math(EXPR earlier "${minor} - 1")
      file(WRITE "${WORK_DIR}/earlier/CMakeLists.txt"
        "cmake_minimum_required(VERSION 3.20)\nproject(earlier NONE)\n"
        "find_package(kestrova-sqlite-reader 0.${earlier} QUIET)\n"
        "if(kestrova-sqlite-reader_FOUND)\n"
        "  message(FATAL_ERROR \"0.${earlier} was asked for and ${VERSION} taken\")\n"
        "endif()\n")
      run("asking for 0.${earlier}" ${CMAKE_COMMAND} -S "${WORK_DIR}/earlier"
          -B "${WORK_DIR}/earlier/build" -DCMAKE_PREFIX_PATH=${PREFIX}
          -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF)
    endif()
  endif()

elseif(MODE STREQUAL "add_subdirectory")
  # Release flags of the consumer's own choosing (-O0, which also keeps the
  # build short) must reach the library's objects unchanged.
  run("configuring the consumer" ${CMAKE_COMMAND} -S "${SOURCE_DIR}" -B "${WORK_DIR}/build"
      -DCMAKE_C_COMPILER=${CC} -DCMAKE_CXX_COMPILER=${CXX} -DCMAKE_BUILD_TYPE=Release
      "-DCMAKE_C_FLAGS_RELEASE=-O0 -DNDEBUG" "-DCMAKE_CXX_FLAGS_RELEASE=-O0 -DNDEBUG"
      -DCMAKE_EXPORT_COMPILE_COMMANDS=ON
      -DLIBRARY_SOURCE_DIR=${LIBRARY_SOURCE_DIR} -DSQLR_DEPS_DIR=${DEPS_DIR})
  file(READ "${WORK_DIR}/build/compile_commands.json" commands)
  string(JSON n LENGTH "${commands}")
  math(EXPR last "${n} - 1")
  foreach(i RANGE ${last})
    string(JSON command GET "${commands}" ${i} command)
    string(JSON file GET "${commands}" ${i} file)
    if(NOT command MATCHES " -O0 " OR command MATCHES " -O[123s] ")
      message(FATAL_ERROR "${file} is not compiled with the consumer's -O0 alone:\n${command}")
    endif()
  endforeach()
  run("building the consumer" ${CMAKE_COMMAND} --build "${WORK_DIR}/build" -j2)
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
  message(FATAL_ERROR "check_consumer.cmake: MODE must be find_package, pkg-config or add_subdirectory")
endif()
message(STATUS "${out}")
