# Checks a shipped shared library's binary interface:
#   - the dynamic symbol table defines exactly the EXPORTS list;
#   - it carries a SONAME;
#   - it needs nothing at run time but libc and libm.
# Usage: cmake -DLIBRARY=path -DEXPORTS="a;b" -P check_abi.cmake
find_program(NM NAMES nm REQUIRED)
find_program(READELF NAMES readelf REQUIRED)

execute_process(COMMAND ${NM} -D --defined-only ${LIBRARY}
                OUTPUT_VARIABLE nm_out RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "nm failed on ${LIBRARY}")
endif()
set(defined "")
string(REPLACE "\n" ";" lines "${nm_out}")
foreach(line IN LISTS lines)
  if(line MATCHES "^[0-9a-fA-F]* +[A-Za-z] +([^ ]+)$")
    list(APPEND defined "${CMAKE_MATCH_1}")
  endif()
endforeach()
list(SORT defined)
set(expected ${EXPORTS})
list(SORT expected)
if(NOT defined STREQUAL expected)
  message(FATAL_ERROR "exported symbols: ${defined}\nexpected exactly: ${expected}")
endif()

execute_process(COMMAND ${READELF} -d ${LIBRARY} OUTPUT_VARIABLE dyn RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "readelf failed on ${LIBRARY}")
endif()
if(NOT dyn MATCHES "\\(SONAME\\)")
  message(FATAL_ERROR "${LIBRARY} has no SONAME")
endif()
# A build instrumented by a sanitizer (SEIS_SANITIZE) calls into the
# sanitizer's runtime, and GCC links that runtime in: allowed there, and only
# there.
execute_process(COMMAND ${NM} -D --undefined-only ${LIBRARY}
                OUTPUT_VARIABLE undefined RESULT_VARIABLE rc)
set(allowed "libc|libm")
if(undefined MATCHES "__(asan|tsan|ubsan)_")
  set(allowed "libc|libm|libasan|libtsan|libubsan")
endif()
string(REGEX MATCHALL "\\(NEEDED\\)[^\n]*\\[([^]]+)\\]" needed_lines "${dyn}")
foreach(line IN LISTS needed_lines)
  string(REGEX REPLACE ".*\\[([^]]+)\\].*" "\\1" lib "${line}")
  if(NOT lib MATCHES "^(${allowed})\\.so\\.[0-9]+$")
    message(FATAL_ERROR "${LIBRARY} needs ${lib}; only libc and libm are allowed")
  endif()
endforeach()
message(STATUS "${LIBRARY}: exports ${defined}; needs only libc/libm")
