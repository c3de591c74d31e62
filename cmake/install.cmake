# What `cmake --install` lays out, and the packages CPack makes of it (a ZIP on
# Windows, a TGZ on Linux). Included at the end of the root CMakeLists.txt.
#
#   Windows                                   Linux
#   bin/kestrova-sqlite-reader.dll            lib/libkestrova-sqlite-reader.so[.0[.0.1.0]]
#   lib/kestrova-sqlite-reader.dll.a          lib/pkgconfig/kestrova-sqlite-reader.pc
#   lib/kestrova-sqlite-reader.def
#   lib/cmake/kestrova-sqlite-reader/         lib/cmake/kestrova-sqlite-reader/
#   include/kestrova_sqlite_reader.h          include/kestrova_sqlite_reader.h
#   share/doc/kestrova-sqlite-reader/         share/doc/kestrova-sqlite-reader/
#     LICENSE, NOTICE, USAGE.txt,               LICENSE, NOTICE, USAGE.txt,
#     LICENSE.yyjson.txt                        LICENSE.yyjson.txt
#   share/kestrova-sqlite-reader/python/      share/kestrova-sqlite-reader/python/
#     kestrova_sqlite_reader/                   kestrova_sqlite_reader/
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(SQLR_PACKAGE kestrova-sqlite-reader)
set(SQLR_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/${SQLR_PACKAGE})
set(SQLR_PACKAGING_DIR ${PROJECT_SOURCE_DIR}/packaging)
file(READ "${SQLR_DEPS_DIR}/yyjson/.complete" SQLR_YYJSON_VERSION)
string(STRIP "${SQLR_YYJSON_VERSION}" SQLR_YYJSON_VERSION)

# The soname carries the major version: the eight functions and their contracts
# are the whole ABI, and any incompatible change to them raises it. (A DLL's
# name stays fixed; Windows hosts bind to kestrova-sqlite-reader.dll.)
if(NOT WIN32)
  set_target_properties(kestrova-sqlite-reader PROPERTIES
    VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR})
endif()
# Consumers see the target as kestrova::sqlite-reader.
set_target_properties(kestrova-sqlite-reader PROPERTIES EXPORT_NAME sqlite-reader)

install(TARGETS kestrova-sqlite-reader EXPORT kestrova-sqlite-reader-targets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/kestrova_sqlite_reader.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

# The example in USAGE.txt opens a file by a path of the package's own system.
if(WIN32)
  set(SQLR_USAGE_EXAMPLE_DB "C:/data/shop.db")
else()
  set(SQLR_USAGE_EXAMPLE_DB "/home/me/shop.db")
endif()
configure_file(${SQLR_PACKAGING_DIR}/USAGE.txt.in ${PROJECT_BINARY_DIR}/packaging/USAGE.txt @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/packaging/USAGE.txt DESTINATION ${SQLR_DOC_DIR})
# The library's licence, and NOTICE naming what is compiled in. yyjson's MIT
# licence asks for its notice in every copy; SQLite is public domain.
install(FILES ${PROJECT_SOURCE_DIR}/LICENSE ${PROJECT_SOURCE_DIR}/NOTICE DESTINATION ${SQLR_DOC_DIR})
install(FILES ${SQLR_DEPS_DIR}/yyjson/LICENSE DESTINATION ${SQLR_DOC_DIR}
  RENAME LICENSE.yyjson.txt)

if(WIN32)
  # The export list, for hosts whose linker wants an import library of its own
  # making (MSVC: lib /def:kestrova-sqlite-reader.def /machine:x64).
  install(FILES ${PROJECT_SOURCE_DIR}/src/exports.def DESTINATION ${CMAKE_INSTALL_LIBDIR}
    RENAME ${SQLR_PACKAGE}.def)
endif()

# find_package(kestrova-sqlite-reader): the DLL with its import library on
# Windows, the shared library on Linux. While the major version is 0 a minor
# version may change the contracts, so only the same minor version is taken
# as compatible.
set(SQLR_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/${SQLR_PACKAGE})
install(EXPORT kestrova-sqlite-reader-targets NAMESPACE kestrova::
  DESTINATION ${SQLR_CMAKE_DIR})
configure_package_config_file(${SQLR_PACKAGING_DIR}/${SQLR_PACKAGE}-config.cmake.in
  ${PROJECT_BINARY_DIR}/packaging/${SQLR_PACKAGE}-config.cmake
  INSTALL_DESTINATION ${SQLR_CMAKE_DIR})
if(PROJECT_VERSION_MAJOR EQUAL 0)
  set(SQLR_COMPATIBILITY SameMinorVersion)
else()
  set(SQLR_COMPATIBILITY SameMajorVersion)
endif()
write_basic_package_version_file(
  ${PROJECT_BINARY_DIR}/packaging/${SQLR_PACKAGE}-config-version.cmake
  COMPATIBILITY ${SQLR_COMPATIBILITY})
install(FILES ${PROJECT_BINARY_DIR}/packaging/${SQLR_PACKAGE}-config.cmake
              ${PROJECT_BINARY_DIR}/packaging/${SQLR_PACKAGE}-config-version.cmake
  DESTINATION ${SQLR_CMAKE_DIR})

if(NOT WIN32)
  # pkg-config: the prefix is found from the .pc file's own folder.
  file(RELATIVE_PATH SQLR_PC_PREFIX_FROM_PCDIR
    /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
  string(REGEX REPLACE "/$" "" SQLR_PC_PREFIX_FROM_PCDIR "${SQLR_PC_PREFIX_FROM_PCDIR}")
  configure_file(${SQLR_PACKAGING_DIR}/${SQLR_PACKAGE}.pc.in
    ${PROJECT_BINARY_DIR}/packaging/${SQLR_PACKAGE}.pc @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/packaging/${SQLR_PACKAGE}.pc
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endif()

# The Python module beside the library: PYTHONPATH=<prefix>/share/kestrova-sqlite-reader/python.
# _installed.py tells it where the library lies relative to itself, so that it
# loads the installed copy without KESTROVA_SQLR_LIB.
set(SQLR_PYTHON_DIR ${CMAKE_INSTALL_DATADIR}/${SQLR_PACKAGE}/python/kestrova_sqlite_reader)
if(WIN32)
  set(SQLR_PYTHON_LIB_DIR ${CMAKE_INSTALL_BINDIR})
else()
  set(SQLR_PYTHON_LIB_DIR ${CMAKE_INSTALL_LIBDIR})
endif()
file(RELATIVE_PATH SQLR_PYTHON_LIB_FROM_MODULE /prefix/${SQLR_PYTHON_DIR} /prefix/${SQLR_PYTHON_LIB_DIR})
file(WRITE ${PROJECT_BINARY_DIR}/packaging/_installed.py
  "# Written by cmake --install: the library's folder, relative to this one.\n"
  "LIBRARY_DIR = \"${SQLR_PYTHON_LIB_FROM_MODULE}\"\n")
install(FILES ${PROJECT_SOURCE_DIR}/bindings/python/kestrova_sqlite_reader/__init__.py
              ${PROJECT_SOURCE_DIR}/bindings/python/kestrova_sqlite_reader/_errors.py
              ${PROJECT_SOURCE_DIR}/bindings/python/kestrova_sqlite_reader/_params.py
              ${PROJECT_SOURCE_DIR}/bindings/python/kestrova_sqlite_reader/py.typed
              ${PROJECT_BINARY_DIR}/packaging/_installed.py
  DESTINATION ${SQLR_PYTHON_DIR})

# ---- CPack, for this project's own packages only (a project that adds this
# tree packs itself): `cpack --preset release` (or windows) writes
# kestrova-sqlite-reader-<version>-<system>.tar.gz|zip. It packs what the
# install rules name, which needs only the library built
# (`cmake --build --preset release-library` builds that alone). CPack and the
# install target take what is built, instead of building everything first,
# every test and benchmark included.
if(NOT PROJECT_IS_TOP_LEVEL)
  return()
endif()
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY TRUE)
set(CPACK_PACKAGE_NAME ${SQLR_PACKAGE})
set(CPACK_PACKAGE_VENDOR "Kestrova")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "Guarded access to SQLite database files through eight C functions returning JSON")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME windows-x86_64)
else()
  set(CPACK_GENERATOR TGZ)
  set(CPACK_SYSTEM_NAME linux-${CMAKE_SYSTEM_PROCESSOR})
endif()
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
# Release packages carry no symbol tables (the DLL loses about a quarter).
set(CPACK_STRIP_FILES TRUE)
include(CPack)
