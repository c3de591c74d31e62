# Instrumented builds, included from the root CMakeLists.txt before any target
# is made, so that the library's objects, SQLite, yyjson, the tests and the
# fuzz targets are all compiled the same way:
#
#   -DSQLR_SANITIZE=address,undefined   AddressSanitizer (with LeakSanitizer)
#                                       and UndefinedBehaviorSanitizer
#   -DSQLR_SANITIZE=thread              ThreadSanitizer
#   -DSQLR_FUZZ=ON                      libFuzzer targets in fuzz/ (with the
#                                       coverage instrumentation they need)
#
# Every report is fatal (-fno-sanitize-recover): a run either has none or fails.
# Clang only: GCC has no libFuzzer, and one compiler for every mode keeps the
# reports comparable.
set(SQLR_SANITIZE "" CACHE STRING
  "Sanitizers to build everything with, e.g. address,undefined or thread (clang)")
option(SQLR_FUZZ "Build the libFuzzer targets in fuzz/ (clang)" OFF)

if(SQLR_SANITIZE OR SQLR_FUZZ)
  if(NOT CMAKE_C_COMPILER_ID MATCHES "Clang" OR NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "SQLR_SANITIZE and SQLR_FUZZ need clang: "
      "-DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ (scripts/install-packages sanitizers)")
  endif()
  # -O1 keeps the instrumented SQLite fast enough for the suite, and line
  # tables keep reports readable at half the compile time of full debug
  # information; both come after the build type's flags and win.
  add_compile_options(-O1 -gline-tables-only -fno-omit-frame-pointer)
endif()

if(SQLR_SANITIZE)
  add_compile_options(-fsanitize=${SQLR_SANITIZE} -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${SQLR_SANITIZE})
  message(STATUS "Sanitizers: ${SQLR_SANITIZE}")
endif()

if(SQLR_FUZZ)
  # Coverage for the fuzzer's guidance in every object; only the fuzz targets
  # link libFuzzer's driver (-fsanitize=fuzzer, in fuzz/CMakeLists.txt).
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()
