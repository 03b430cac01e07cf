# Cross build for aarch64 Linux with Debian's cross compiler
# (g++-aarch64-linux-gnu); executables and tests run under qemu-user.
#   cmake --preset cross-aarch64
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(SEIS_TARGET_TRIPLE aarch64-linux-gnu)
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
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L ${SEIS_TARGET_SYSROOT})
