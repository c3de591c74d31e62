# Third-party sources, fetched and verified by scripts/fetch-deps into a
# git-ignored cache: SQLite (amalgamation) and yyjson, compiled into the
# library, and Boost's headers (Beast, Asio), compiled into the tool's HTTP
# server. Nothing third-party is committed.
set(SQLR_DEPS_DIR "${CMAKE_CURRENT_SOURCE_DIR}/.deps" CACHE PATH
  "Cache of the verified third-party sources")
if(NOT EXISTS "${SQLR_DEPS_DIR}/sqlite/.complete" OR NOT EXISTS "${SQLR_DEPS_DIR}/yyjson/.complete"
   OR NOT EXISTS "${SQLR_DEPS_DIR}/boost/.complete")
  message(STATUS "Fetching third-party sources into ${SQLR_DEPS_DIR}")
  execute_process(
    COMMAND bash "${CMAKE_CURRENT_SOURCE_DIR}/scripts/fetch-deps" "${SQLR_DEPS_DIR}"
    RESULT_VARIABLE fetch_result)
  if(NOT fetch_result EQUAL 0)
    message(FATAL_ERROR "scripts/fetch-deps failed: the third-party sources are missing or do not match their pinned SHA-256")
  endif()
endif()
file(READ "${SQLR_DEPS_DIR}/sqlite/.complete" SQLR_SQLITE_VERSION)
string(STRIP "${SQLR_SQLITE_VERSION}" SQLR_SQLITE_VERSION)
message(STATUS "SQLite ${SQLR_SQLITE_VERSION} from ${SQLR_DEPS_DIR}/sqlite")

# The engine configuration every connection relies on: serialized threading,
# foreign keys enforced from the first statement, no extension loading and
# file names never read as URIs.
set(SQLR_SQLITE_DEFINES
  SQLITE_THREADSAFE=1
  SQLITE_DEFAULT_FOREIGN_KEYS=1
  SQLITE_OMIT_LOAD_EXTENSION
  SQLITE_USE_URI=0)
# The features the SQLite of Linux distributions and Python has compiled in,
# so that the files people have open: full-text search (FTS3 and FTS4 with the
# AND/OR/NOT and parenthesis query syntax, FTS5), R*Tree indexes, the math
# functions and the dbstat table. Also listed by `kestrova-sqlr --version`.
set(SQLR_SQLITE_FEATURES
  SQLITE_ENABLE_FTS3
  SQLITE_ENABLE_FTS3_PARENTHESIS
  SQLITE_ENABLE_FTS5
  SQLITE_ENABLE_RTREE
  SQLITE_ENABLE_MATH_FUNCTIONS
  SQLITE_ENABLE_DBSTAT_VTAB)
list(APPEND SQLR_SQLITE_DEFINES ${SQLR_SQLITE_FEATURES})
# The same list as SQLite's own compile_options pragma spells it.
string(REPLACE "SQLITE_" "" SQLR_SQLITE_OPTIONS "${SQLR_SQLITE_DEFINES}")
string(REPLACE ";" " " SQLR_SQLITE_OPTIONS "${SQLR_SQLITE_OPTIONS}")

add_library(sqlr_sqlite OBJECT "${SQLR_DEPS_DIR}/sqlite/sqlite3.c")
target_include_directories(sqlr_sqlite SYSTEM PUBLIC "${SQLR_DEPS_DIR}/sqlite")
target_compile_definitions(sqlr_sqlite PRIVATE ${SQLR_SQLITE_DEFINES})
find_package(Threads REQUIRED)
target_link_libraries(sqlr_sqlite PUBLIC Threads::Threads ${CMAKE_DL_LIBS})
if(NOT WIN32)
  target_link_libraries(sqlr_sqlite PUBLIC m)
endif()

# yyjson's header gives its functions default visibility on ELF; the library
# exports none of them, so its export macro is emptied everywhere.
add_library(sqlr_yyjson OBJECT "${SQLR_DEPS_DIR}/yyjson/src/yyjson.c")
target_include_directories(sqlr_yyjson SYSTEM PUBLIC "${SQLR_DEPS_DIR}/yyjson/src")
target_compile_definitions(sqlr_yyjson PUBLIC yyjson_api=)

# SQLite's own shell from the same amalgamation and configuration as the
# library: it makes the sample, test and benchmark databases (the library
# refuses to write schemas and rows) and is the peer the tool is measured
# against. Built only for what needs it: scripts/demo, bench/compare and the
# tests that make their databases with it. It sits beside kestrova-sqlr.
if(NOT WIN32)
  add_executable(sqlr_sqlite_shell EXCLUDE_FROM_ALL "${SQLR_DEPS_DIR}/sqlite/shell.c")
  target_compile_definitions(sqlr_sqlite_shell PRIVATE ${SQLR_SQLITE_DEFINES})
  target_link_libraries(sqlr_sqlite_shell PRIVATE sqlr_sqlite)
  set_target_properties(sqlr_sqlite_shell PROPERTIES
    RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/tools)
endif()
