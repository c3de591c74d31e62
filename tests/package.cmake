# The installed package as a user gets it, included from tests/CMakeLists.txt:
# `cmake --install` into a folder of the build tree must lay out exactly the
# expected files, and on Linux programs build against the installed tree with
# find_package and with pkg-config, and run.
include(GNUInstallDirs)
set(SQLR_PKG_TEST_DIR ${CMAKE_CURRENT_BINARY_DIR}/package-test)
set(SQLR_PKG_PREFIX ${SQLR_PKG_TEST_DIR}/prefix)

# One line per installed path, relative to the prefix; "link -> target" for a
# symbolic link.
set(doc share/doc/kestrova-sqlite-reader)
set(py share/kestrova-sqlite-reader/python/kestrova_sqlite_reader)
set(python_module ${py}/__init__.py ${py}/py.typed ${py}/_installed.py)
if(WIN32)
  set(expected
    bin/kestrova-sqlite-reader.dll
    include/kestrova_sqlite_reader.h
    lib/kestrova-sqlite-reader.dll.a
    lib/kestrova-sqlite-reader.def
    ${doc}/USAGE.txt
    ${doc}/LICENSE.yyjson.txt
    ${python_module})
else()
  set(lib ${CMAKE_INSTALL_LIBDIR})
  set(so libkestrova-sqlite-reader.so)
  set(cfg ${lib}/cmake/kestrova-sqlite-reader)
  string(TOLOWER "${CMAKE_BUILD_TYPE}" config)
  if(config STREQUAL "")
    set(config noconfig)
  endif()
  set(expected
    include/kestrova_sqlite_reader.h
    "${lib}/${so} -> ${so}.${PROJECT_VERSION_MAJOR}"
    "${lib}/${so}.${PROJECT_VERSION_MAJOR} -> ${so}.${PROJECT_VERSION}"
    ${lib}/${so}.${PROJECT_VERSION}
    ${cfg}/kestrova-sqlite-reader-config.cmake
    ${cfg}/kestrova-sqlite-reader-config-version.cmake
    ${cfg}/kestrova-sqlite-reader-targets.cmake
    ${cfg}/kestrova-sqlite-reader-targets-${config}.cmake
    ${lib}/pkgconfig/kestrova-sqlite-reader.pc
    ${doc}/USAGE.txt
    ${doc}/LICENSE.yyjson.txt
    ${python_module})
endif()
list(JOIN expected "\n" expected)
file(WRITE ${SQLR_PKG_TEST_DIR}/expected-files.txt "${expected}\n")

add_test(NAME package_install
  COMMAND ${CMAKE_COMMAND} -DBUILD_DIR=${PROJECT_BINARY_DIR} -DPREFIX=${SQLR_PKG_PREFIX}
          -DEXPECTED=${SQLR_PKG_TEST_DIR}/expected-files.txt
          -P ${CMAKE_CURRENT_SOURCE_DIR}/check_install.cmake)
set_tests_properties(package_install PROPERTIES FIXTURES_SETUP sqlr_installed)

if(NOT WIN32)
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
endif()
