# Both libraries for x86-64 Linux with musl (Alpine, musllinux wheels),
# from Debian's musl-tools:  cmake --preset musl
#
# musl-gcc links against musl.  Debian has no C++ library built for musl,
# and the libraries need none at run time: their sources compile against
# musl's C headers and the header-only parts of GCC's C++ library, whose
# configuration asks for glibc's version macro (__GLIBC_PREREQ; musl is not
# glibc, so every such test is false).  Programs are linked by the C driver
# only, so CMake checks compilers without linking.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(CMAKE_C_COMPILER musl-gcc)
set(CMAKE_CXX_COMPILER g++)
execute_process(COMMAND g++ -dumpversion OUTPUT_VARIABLE gcc_major OUTPUT_STRIP_TRAILING_WHITESPACE)
execute_process(COMMAND g++ -print-file-name=include OUTPUT_VARIABLE gcc_include
                OUTPUT_STRIP_TRAILING_WHITESPACE)
# The headers musl-gcc gives C, in g++'s order: the C++ library's, GCC's own
# (stddef.h, the intrinsics), then musl's instead of glibc's.
string(JOIN " " CMAKE_CXX_FLAGS_INIT -nostdinc
  -isystem /usr/include/c++/${gcc_major} -isystem /usr/include/x86_64-linux-gnu/c++/${gcc_major}
  -isystem ${gcc_include} -isystem /usr/include/x86_64-linux-musl
  "'-D__GLIBC_PREREQ(major,minor)=0'")  # quoted for the shell
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)

# Programs built here run under musl's dynamic loader, /lib/ld-musl-x86_64.so.1.
