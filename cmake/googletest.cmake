# GoogleTest for the test suite. Natively the system's installed build; when
# cross-compiling (Windows with mingw-w64) no prebuilt library fits the target,
# so GoogleTest is compiled from the system's sources with the same compiler.
# Either way the targets are GTest::gtest and GTest::gtest_main.
if(CMAKE_CROSSCOMPILING)
  set(SQLR_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH
    "GoogleTest sources compiled into the tests when cross-compiling")
  if(NOT EXISTS "${SQLR_GTEST_SOURCE_DIR}/CMakeLists.txt")
    message(FATAL_ERROR "GoogleTest sources not found in ${SQLR_GTEST_SOURCE_DIR} "
      "(Debian package googletest; scripts/install-packages build)")
  endif()
  set(BUILD_GMOCK OFF)
  set(INSTALL_GTEST OFF)
  # Only MSVC reads this; it keeps GoogleTest on the same C runtime as the tests.
  set(gtest_force_shared_crt ON)
  # SYSTEM: GoogleTest's headers are not held to the project's warning flags.
  add_subdirectory("${SQLR_GTEST_SOURCE_DIR}" "${PROJECT_BINARY_DIR}/googletest"
    EXCLUDE_FROM_ALL SYSTEM)
else()
  find_package(GTest REQUIRED)
endif()
