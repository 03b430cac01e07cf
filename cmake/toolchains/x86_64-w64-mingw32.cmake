# Cross build for 64-bit Windows with Debian's MinGW-w64 (the posix thread
# model, g++-mingw-w64-x86-64-posix), tests run under Wine (wine64).
#   cmake --preset cross-mingw64
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(SEIS_TARGET_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${SEIS_TARGET_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${SEIS_TARGET_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${SEIS_TARGET_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${SEIS_TARGET_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Test programs carry the C++ runtime and winpthreads inside them, so that
# Wine needs nothing beside them but the two DLLs (which link their own
# runtime statically, see CMakeLists.txt).
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)

# Test programs, and gtest_discover_tests at build time, run through Wine's
# 64-bit loader (Debian's wine64 puts it in /usr/lib/wine), quietly.
find_program(SEIS_WINE64 wine64 PATHS /usr/lib/wine NO_DEFAULT_PATH)
find_program(SEIS_WINE64 wine64 REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR env WINEDEBUG=-all ${SEIS_WINE64})
