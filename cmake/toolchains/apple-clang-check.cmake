# macOS (Mach-O) builds of both libraries with Debian's clang and lld, for
# arm64 or x86_64 (SEIS_APPLE_ARCH), to check that the sources and the build
# suit Apple's clang: cmake --preset macos-arm64 (or macos-x86_64).
#
# There is no Apple SDK here.  The C and C++ declarations come from
# Debian's glibc and GCC headers instead, compiled freestanding so that the
# fixed-width types come from clang's own stdint.h (Mach-O's uint64_t is not
# glibc's, and clang's NEON header depends on it), and the dylibs are linked
# without libSystem, their C library calls left for the loader to bind.  So the objects and the dylibs' names, install names, versions and
# export lists are real, but the dylibs are not meant to run: use Apple's
# toolchain for that.
set(CMAKE_SYSTEM_NAME Darwin)
if(NOT SEIS_APPLE_ARCH)
  set(SEIS_APPLE_ARCH arm64)
endif()
set(CMAKE_SYSTEM_PROCESSOR ${SEIS_APPLE_ARCH})
set(CMAKE_OSX_ARCHITECTURES ${SEIS_APPLE_ARCH})
set(CMAKE_OSX_SYSROOT "")

if(SEIS_APPLE_ARCH STREQUAL "arm64")
  set(target arm64-apple-macos11)
  set(headers /usr/aarch64-linux-gnu/include)
  set(cxx_headers ${headers}/c++/12 ${headers}/c++/12/aarch64-linux-gnu)
else()
  set(target x86_64-apple-macos10.15)
  set(headers /usr/include/x86_64-linux-gnu /usr/include)
  set(cxx_headers /usr/include/c++/12 /usr/include/x86_64-linux-gnu/c++/12)
endif()
set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_C_COMPILER_TARGET ${target})
set(CMAKE_CXX_COMPILER_TARGET ${target})

execute_process(COMMAND clang -print-resource-dir OUTPUT_VARIABLE resource_dir
                OUTPUT_STRIP_TRAILING_WHITESPACE)
# Apple's clang defines __nonnull as a nullability keyword; glibc's headers
# define it as an attribute macro unless it is defined already.
set(flags -U__nonnull -ffreestanding -nostdinc++ -nostdlibinc -isystem ${resource_dir}/include)
foreach(dir IN LISTS cxx_headers headers)
  list(APPEND flags -isystem ${dir})
endforeach()
string(JOIN " " CMAKE_C_FLAGS_INIT ${flags})
string(JOIN " " CMAKE_CXX_FLAGS_INIT ${flags})
set(CMAKE_SHARED_LINKER_FLAGS_INIT
    "-Qunused-arguments -fuse-ld=lld -nostdlib -Wl,-undefined,dynamic_lookup")
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
# CMake asks sw_vers for the version of the macOS it runs on and, finding
# none here, takes it for one older than 10.5, without run paths: give the
# libraries the install name CMake gives them on a Mac, @rpath/<name>.
set(CMAKE_INSTALL_NAME_DIR "@rpath")
set(CMAKE_BUILD_WITH_INSTALL_NAME_DIR ON)
