# Common part of the cross toolchains: Debian's cross compiler for
# ${CMAKE_SYSTEM_PROCESSOR}-linux-gnu, with executables and tests run under
# qemu-user.  Included by <processor>-linux-gnu.cmake, which sets
# CMAKE_SYSTEM_PROCESSOR first.
set(CMAKE_SYSTEM_NAME Linux)

set(SEIS_TARGET_TRIPLE ${CMAKE_SYSTEM_PROCESSOR}-linux-gnu)
set(SEIS_TARGET_SYSROOT /usr/${SEIS_TARGET_TRIPLE})

set(CMAKE_C_COMPILER ${SEIS_TARGET_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${SEIS_TARGET_TRIPLE}-g++)

# Libraries and headers come from the target's tree only; build tools
# (python3, nm, qemu) from the host.
set(CMAKE_FIND_ROOT_PATH ${SEIS_TARGET_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Test programs, and gtest_discover_tests at build time, run through this.
# -L points the emulated dynamic loader at the target's libc and libstdc++.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-${CMAKE_SYSTEM_PROCESSOR} -L ${SEIS_TARGET_SYSROOT})
