# Suites that try to break the library, included from tests/CMakeLists.txt:
# many threads at once, hostile input, the deadline in real time and
# allocation failures. Labels let a run pick them out:
#   concurrency    the tests ThreadSanitizer runs (scripts/test)
#   deadline_e2e   waits out the real 30-second deadline; scheduled first so
#                  that it runs beside the rest of the suite
function(sqlr_add_robustness_test name)
  cmake_parse_arguments(arg "" "" "SOURCES;PROPERTIES;LINK_OPTIONS;LIBRARIES" ${ARGN})
  add_executable(${name} ${arg_SOURCES})
  target_link_libraries(${name} PRIVATE sqlr_test_util ${arg_LIBRARIES})
  target_compile_options(${name} PRIVATE ${SQLR_WARNINGS})
  target_link_options(${name} PRIVATE ${arg_LINK_OPTIONS})
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT ${SQLR_DISCOVERY_TIMEOUT}
    PROPERTIES ${arg_PROPERTIES})
endfunction()

sqlr_add_robustness_test(threads_test SOURCES threads_test.cc LIBRARIES GTest::gtest_main
  PROPERTIES LABELS concurrency)
sqlr_add_robustness_test(close_race_test SOURCES close_race_test.cc LIBRARIES GTest::gtest_main
  PROPERTIES LABELS concurrency)
sqlr_add_robustness_test(hostile_test SOURCES hostile_test.cc LIBRARIES GTest::gtest_main)
sqlr_add_robustness_test(gate_oracle_test SOURCES gate_oracle_test.cc LIBRARIES GTest::gtest_main)
# The gate on 16 MB hostile texts. No case measures time: the limit stops a
# gate that reads such a text once per run start again (hours, not seconds).
sqlr_add_robustness_test(gate_linear_test SOURCES gate_linear_test.cc LIBRARIES GTest::gtest_main
  PROPERTIES TIMEOUT 60)
sqlr_add_robustness_test(deadline_e2e_test SOURCES deadline_e2e_test.cc
  LIBRARIES GTest::gtest_main PROPERTIES LABELS deadline_e2e COST 1000 TIMEOUT 120)

# Allocation failures: the program wraps the C heap functions (GNU ld), and
# has a main of its own that replaces SQLite's allocator before SQLite starts.
if(NOT WIN32)
  sqlr_add_robustness_test(oom_test SOURCES oom_test.cc LIBRARIES GTest::gtest
    LINK_OPTIONS -Wl,--wrap=malloc,--wrap=calloc,--wrap=realloc,--wrap=free)
endif()
# Statements that would take gigabytes or minutes.
sqlr_add_robustness_test(hostile_cost_test SOURCES hostile_cost_test.cc
  LIBRARIES GTest::gtest_main PROPERTIES TIMEOUT 300)
