# Windows-only tests, included from tests/CMakeLists.txt.

# The DLL as a host uses it: through its import library, without the internals.
# The program sits beside the DLL, where Windows looks for it first, so that
# it also starts when CTest lists its cases.
add_executable(windows_test windows_test.cc)
target_link_libraries(windows_test PRIVATE kestrova-sqlite-reader GTest::gtest_main)
target_compile_options(windows_test PRIVATE ${SQLR_WARNINGS})
set_target_properties(windows_test PROPERTIES
  RUNTIME_OUTPUT_DIRECTORY $<TARGET_FILE_DIR:kestrova-sqlite-reader>)
gtest_discover_tests(windows_test DISCOVERY_MODE PRE_TEST
  DISCOVERY_TIMEOUT ${SQLR_DISCOVERY_TIMEOUT})

# The DLL's PE export and import tables.
find_program(SQLR_OBJDUMP NAMES ${CMAKE_OBJDUMP} x86_64-w64-mingw32-objdump objdump REQUIRED)
foreach(check exports imports)
  add_test(NAME dll_${check}
    COMMAND ${CMAKE_COMMAND} -DOBJDUMP=${SQLR_OBJDUMP}
            -DDLL=$<TARGET_FILE:kestrova-sqlite-reader> -DCHECK=${check}
            -P ${CMAKE_CURRENT_SOURCE_DIR}/check_pe.cmake)
endforeach()
