# Cross build for big-endian s390x Linux (g++-s390x-linux-gnu, qemu-s390x).
#   cmake --preset cross-s390x
set(CMAKE_SYSTEM_PROCESSOR s390x)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
