# Cross-compiles the library for 64-bit Windows with mingw-w64 on Linux and runs
# the programs it builds (the tests) under wine:
#
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
#
# Debian's packages: g++-mingw-w64-x86-64, wine, wine64
# (scripts/install-packages windows).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(SQLR_MINGW_TRIPLE x86_64-w64-mingw32)

# The -posix compilers by name: the unsuffixed ones are the -win32 variants,
# whose libstdc++ has no std::mutex or std::thread.
set(CMAKE_C_COMPILER ${SQLR_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${SQLR_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${SQLR_MINGW_TRIPLE}-windres)
set(CMAKE_OBJDUMP ${SQLR_MINGW_TRIPLE}-objdump CACHE FILEPATH "objdump for PE files")

# Headers, libraries and packages come from the mingw-w64 sysroot only; build
# tools (cmake, wine) from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${SQLR_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# CTest runs every built .exe (and lists GoogleTest cases) through wine, in a
# wine prefix of its own inside the build folder.
set(CMAKE_CROSSCOMPILING_EMULATOR
  "${CMAKE_CURRENT_LIST_DIR}/wine-run.sh;${CMAKE_BINARY_DIR}/wineprefix")
