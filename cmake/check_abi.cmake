# Checks a shipped shared library's binary interface:
#   - the dynamic symbol table defines exactly the EXPORTS list;
#   - it carries a SONAME;
#   - it needs nothing at run time but libc and libm.
# A Windows DLL (objdump -p, with the OBJDUMP given): its export table names
# exactly EXPORTS, and it imports from system DLLs only, so the C and C++
# runtimes of MinGW (libgcc_s, libstdc++, libwinpthread) are inside it.
# Usage: cmake [-DOBJDUMP=path] -DLIBRARY=path -DEXPORTS="a;b" -P check_abi.cmake
set(expected ${EXPORTS})
list(SORT expected)

if(LIBRARY MATCHES "\\.dll$")
  execute_process(COMMAND ${OBJDUMP} -p ${LIBRARY} OUTPUT_VARIABLE pe RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${OBJDUMP} -p failed on ${LIBRARY}")
  endif()
  # "[Ordinal/Name Pointer] Table" lists one "[   n] name" line per export.
  string(REGEX MATCH "\\[Ordinal/Name Pointer\\] Table[^\n]*\n(([ \t]+\\[[ 0-9]+\\] [^\n]+\n)*)"
         table "${pe}")
  string(REGEX MATCHALL "\\] [^\n]+" names "${CMAKE_MATCH_1}")
  list(TRANSFORM names REPLACE "\\] " "")
  list(SORT names)
  if(NOT names STREQUAL expected)
    message(FATAL_ERROR "exported symbols: ${names}\nexpected exactly: ${expected}")
  endif()
  string(REGEX MATCHALL "DLL Name: [^\n]+" imports "${pe}")
  list(TRANSFORM imports REPLACE "DLL Name: " "")
  foreach(dll IN LISTS imports)
    string(TOLOWER "${dll}" lower)
    if(NOT lower MATCHES "^(kernel32|msvcrt|ucrtbase|api-ms-win-[a-z0-9-]+)\\.dll$")
      message(FATAL_ERROR "${LIBRARY} imports ${dll}; only system DLLs are allowed")
    endif()
  endforeach()
  message(STATUS "${LIBRARY}: exports ${names}; imports only ${imports}")
  return()
endif()

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
