# Cross build for aarch64 Linux (g++-aarch64-linux-gnu, qemu-aarch64).
#   cmake --preset cross-aarch64
set(CMAKE_SYSTEM_PROCESSOR aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
