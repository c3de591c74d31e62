# The installed package as a user gets it, included from tests/CMakeLists.txt:
# `cmake --install` into a folder of the build tree must lay out exactly the
# expected files, and programs build against the installed tree and run: with
# find_package (also cross-built for Windows and run under wine) and, on
# Linux, with pkg-config. On Linux a project that adds the source tree as a
# subdirectory builds and runs the same program.
include(GNUInstallDirs)
set(SQLR_PKG_TEST_DIR ${CMAKE_CURRENT_BINARY_DIR}/package-test)
set(SQLR_PKG_PREFIX ${SQLR_PKG_TEST_DIR}/prefix)

# One line per installed path, relative to the prefix; "link -> target" for a
# symbolic link.
set(doc share/doc/kestrova-sqlite-reader)
set(py share/kestrova-sqlite-reader/python/kestrova_sqlite_reader)
set(cfg ${CMAKE_INSTALL_LIBDIR}/cmake/kestrova-sqlite-reader)
string(TOLOWER "${CMAKE_BUILD_TYPE}" config)
if(config STREQUAL "")
  set(config noconfig)
endif()
set(expected
  include/kestrova_sqlite_reader.h
  ${cfg}/kestrova-sqlite-reader-config.cmake
  ${cfg}/kestrova-sqlite-reader-config-version.cmake
  ${cfg}/kestrova-sqlite-reader-targets.cmake
  ${cfg}/kestrova-sqlite-reader-targets-${config}.cmake
  ${doc}/LICENSE
  ${doc}/NOTICE
  ${doc}/USAGE.txt
  ${doc}/LICENSE.yyjson.txt
  ${py}/__init__.py ${py}/_errors.py ${py}/_params.py ${py}/py.typed ${py}/_installed.py)
if(SQLR_BUILD_TOOLS)
  list(APPEND expected bin/kestrova-sqlr${CMAKE_EXECUTABLE_SUFFIX})
  # The Windows tool compiles cpp-httplib in for serve (tools/serve.cmake).
  if(WIN32)
    list(APPEND expected ${doc}/LICENSE.cpp-httplib.txt)
  endif()
endif()
if(WIN32)
  list(APPEND expected
    bin/kestrova-sqlite-reader.dll
    lib/kestrova-sqlite-reader.dll.a
    lib/kestrova-sqlite-reader.def)
else()
  set(lib ${CMAKE_INSTALL_LIBDIR})
  set(so libkestrova-sqlite-reader.so)
  list(APPEND expected
    "${lib}/${so} -> ${so}.${PROJECT_VERSION_MAJOR}"
    "${lib}/${so}.${PROJECT_VERSION_MAJOR} -> ${so}.${PROJECT_VERSION}"
    ${lib}/${so}.${PROJECT_VERSION}
    ${lib}/pkgconfig/kestrova-sqlite-reader.pc)
endif()
list(JOIN expected "\n" expected)
file(WRITE ${SQLR_PKG_TEST_DIR}/expected-files.txt "${expected}\n")

add_test(NAME package_install
  COMMAND ${CMAKE_COMMAND} -DBUILD_DIR=${PROJECT_BINARY_DIR} -DPREFIX=${SQLR_PKG_PREFIX}
          -DEXPECTED=${SQLR_PKG_TEST_DIR}/expected-files.txt
          -P ${CMAKE_CURRENT_SOURCE_DIR}/check_install.cmake)
set_tests_properties(package_install PROPERTIES FIXTURES_SETUP sqlr_installed)

# The installed tool finds the installed library by itself (beside it on
# Windows, through its run path elsewhere).
if(SQLR_BUILD_TOOLS AND (NOT CMAKE_CROSSCOMPILING OR CMAKE_CROSSCOMPILING_EMULATOR))
  add_test(NAME package_installed_tool
    COMMAND ${CMAKE_CROSSCOMPILING_EMULATOR}
            ${SQLR_PKG_PREFIX}/bin/kestrova-sqlr${CMAKE_EXECUTABLE_SUFFIX} --version)
  set_tests_properties(package_installed_tool PROPERTIES FIXTURES_REQUIRED sqlr_installed
    PASS_REGULAR_EXPRESSION "kestrova-sqlr ${PROJECT_VERSION}")
endif()

if(WIN32)
  # The same CMake consumer, cross-built and run under wine.
  if(CMAKE_CROSSCOMPILING_EMULATOR)
    string(REPLACE ";" "|" emulator "${CMAKE_CROSSCOMPILING_EMULATOR}")
    add_test(NAME package_consumer_find_package
      COMMAND ${CMAKE_COMMAND} -DMODE=find_package -DPREFIX=${SQLR_PKG_PREFIX}
              -DWORK_DIR=${SQLR_PKG_TEST_DIR}/consumer-find_package
              -DSOURCE_DIR=${CMAKE_CURRENT_SOURCE_DIR}/package_consumer
              -DLIBDIR=${CMAKE_INSTALL_LIBDIR} -DVERSION=${PROJECT_VERSION}
              -DTOOLCHAIN=${CMAKE_TOOLCHAIN_FILE} -DEMULATOR=${emulator}
              -P ${CMAKE_CURRENT_SOURCE_DIR}/check_consumer.cmake)
    set_tests_properties(package_consumer_find_package PROPERTIES FIXTURES_REQUIRED sqlr_installed)
  endif()
else()
  find_program(SQLR_PKG_CONFIG NAMES pkg-config pkgconf)
  foreach(mode find_package pkg-config)
    add_test(NAME package_consumer_${mode}
      COMMAND ${CMAKE_COMMAND} -DMODE=${mode} -DPREFIX=${SQLR_PKG_PREFIX}
              -DWORK_DIR=${SQLR_PKG_TEST_DIR}/consumer-${mode}
              -DSOURCE_DIR=${CMAKE_CURRENT_SOURCE_DIR}/package_consumer
              -DLIBDIR=${CMAKE_INSTALL_LIBDIR} -DVERSION=${PROJECT_VERSION}
              -DCC=${CMAKE_C_COMPILER} -DPKG_CONFIG=${SQLR_PKG_CONFIG}
              -P ${CMAKE_CURRENT_SOURCE_DIR}/check_consumer.cmake)
    set_tests_properties(package_consumer_${mode} PROPERTIES FIXTURES_REQUIRED sqlr_installed)
  endforeach()
  # The source tree added to another project builds the library alone, and
  # leaves that project's release flags as they are.
  add_test(NAME package_consumer_add_subdirectory
    COMMAND ${CMAKE_COMMAND} -DMODE=add_subdirectory
            -DWORK_DIR=${SQLR_PKG_TEST_DIR}/consumer-add_subdirectory
            -DSOURCE_DIR=${CMAKE_CURRENT_SOURCE_DIR}/subdirectory_consumer
            -DLIBRARY_SOURCE_DIR=${PROJECT_SOURCE_DIR} -DDEPS_DIR=${SQLR_DEPS_DIR}
            -DCC=${CMAKE_C_COMPILER} -DCXX=${CMAKE_CXX_COMPILER}
            -P ${CMAKE_CURRENT_SOURCE_DIR}/check_consumer.cmake)
endif()
