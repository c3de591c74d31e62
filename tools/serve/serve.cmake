# kestrova-sqlr serve: the HTTP server (cpp-httplib) and the page compiled in.
#
# Debian's libcpp-httplib-dev splits cpp-httplib into a header of declarations
# and a shared library, found through pkg-config. A single-file httplib.h that
# holds the implementation too (upstream's own form) can be named instead with
# -DSQLR_HTTPLIB_HEADER=/path/to/httplib.h. Without either, serve is left out
# of the tool and says so when asked for.
#
# The cross-build for Windows takes the header that scripts/fetch-deps makes
# from Debian's source package of the same release.
set(SQLR_HTTPLIB_HEADER "" CACHE FILEPATH
    "a single-file cpp-httplib httplib.h (implementation included) for serve")
if(CMAKE_CROSSCOMPILING AND NOT SQLR_HTTPLIB_HEADER)
  if(NOT EXISTS "${SQLR_DEPS_DIR}/httplib/.complete")
    execute_process(COMMAND bash "${PROJECT_SOURCE_DIR}/scripts/fetch-deps" "${SQLR_DEPS_DIR}"
                    RESULT_VARIABLE fetched)
  endif()
  if(EXISTS "${SQLR_DEPS_DIR}/httplib/.complete")
    set(SQLR_HTTPLIB_HEADER "${SQLR_DEPS_DIR}/httplib/httplib.h")
  endif()
endif()

set(serve_sources serve/api.cc serve/guard.cc serve/platform.cc serve/server.cc
    ${CMAKE_CURRENT_BINARY_DIR}/serve_assets.cc)
set(serve_found FALSE)
if(SQLR_HTTPLIB_HEADER)
  # Only this one header is put on the include path (the cross-build must not
  # see the host's /usr/include), as a system header: its warnings are not ours.
  configure_file(${SQLR_HTTPLIB_HEADER} ${CMAKE_CURRENT_BINARY_DIR}/httplib/httplib.h COPYONLY)
  # Compiled in: its MIT licence travels with the tool (NOTICE).
  include(GNUInstallDirs)
  get_filename_component(httplib_dir ${SQLR_HTTPLIB_HEADER} DIRECTORY)
  if(EXISTS ${httplib_dir}/LICENSE)
    install(FILES ${httplib_dir}/LICENSE DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/kestrova-sqlite-reader
      RENAME LICENSE.cpp-httplib.txt OPTIONAL)
  endif()
  target_include_directories(kestrova-sqlr SYSTEM PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/httplib)
  set(serve_found TRUE)
elseif(NOT CMAKE_CROSSCOMPILING)
  find_package(PkgConfig QUIET)
  if(PKG_CONFIG_FOUND)
    pkg_check_modules(SQLR_HTTPLIB QUIET IMPORTED_TARGET cpp-httplib)
  endif()
  if(SQLR_HTTPLIB_FOUND)
    # The package's flags (OpenSSL, zlib, Brotli) are kept: they shape the
    # classes the shared library was built with.
    target_link_libraries(kestrova-sqlr PRIVATE PkgConfig::SQLR_HTTPLIB)
    set(serve_found TRUE)
  endif()
endif()

if(serve_found)
  target_sources(kestrova-sqlr PRIVATE ${serve_sources})
  find_package(Threads REQUIRED)
  target_link_libraries(kestrova-sqlr PRIVATE Threads::Threads)
  if(WIN32)
    target_link_libraries(kestrova-sqlr PRIVATE ws2_32 bcrypt)
  endif()
  # The page's files as byte arrays, made again whenever one of them changes.
  set(assets index.html app.js style.css)
  list(TRANSFORM assets PREPEND ${CMAKE_CURRENT_SOURCE_DIR}/serve/assets/)
  add_custom_command(
    OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/serve_assets.cc
    COMMAND ${CMAKE_COMMAND} -DOUT=${CMAKE_CURRENT_BINARY_DIR}/serve_assets.cc
            -DDIR=${CMAKE_CURRENT_SOURCE_DIR}/serve/assets -P
            ${CMAKE_CURRENT_SOURCE_DIR}/serve/embed.cmake
    DEPENDS ${assets} ${CMAKE_CURRENT_SOURCE_DIR}/serve/embed.cmake
    COMMENT "Embedding the data browser's page"
    VERBATIM)
  target_include_directories(kestrova-sqlr PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
else()
  target_sources(kestrova-sqlr PRIVATE serve/unavailable.cc)
  message(WARNING "cpp-httplib not found: kestrova-sqlr is built without serve "
                  "(scripts/install-packages hosts, or -DSQLR_HTTPLIB_HEADER=...)")
endif()
set(SQLR_HAVE_SERVE ${serve_found})
