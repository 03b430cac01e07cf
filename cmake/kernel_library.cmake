# seis_kernel_library(<name> SOURCE <file> HEADER <file> [LIBS <libs>...] [NO_VARIANTS])
#
# A shipped kernel library: lib<name>.so with a SONAME (lib<name>.1.dylib on
# macOS, <name>.dll with an import library on Windows), hidden visibility
# (the header's <NAME>_API marks the exports when <NAME>_BUILDING is
# defined), linked by the C driver so that neither libstdc++ nor libgcc_s is
# needed at run time.
#
# With tests or benchmarks on, also <name>_variants: the same source compiled
# the same way with <NAME>_VARIANTS_ONLY, which leaves the exported entry
# points out, so that a test can link it beside the shared library and run
# each instruction-set loop directly.  Never installed.  NO_VARIANTS leaves
# it out, for a library with no loops of its own to choose between.
function(seis_kernel_library name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "NO_VARIANTS" "SOURCE;HEADER" "LIBS")
  string(TOUPPER ${name} upper)

  add_library(${name} SHARED ${arg_SOURCE})
  target_include_directories(${name} PUBLIC
    $<BUILD_INTERFACE:${CMAKE_CURRENT_SOURCE_DIR}/include>
    $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/common)
  target_compile_definitions(${name} PRIVATE ${upper}_BUILDING)
  target_link_libraries(${name} PRIVATE seis_library_options ${arg_LIBS})
  set_target_properties(${name} PROPERTIES
    LINKER_LANGUAGE C
    VERSION ${PROJECT_VERSION}
    SOVERSION ${PROJECT_VERSION_MAJOR}
    PUBLIC_HEADER ${CMAKE_CURRENT_SOURCE_DIR}/${arg_HEADER})
  if(WIN32)
    # <name>.dll, as Windows names DLLs, with the import library lib<name>.dll.a
    set_target_properties(${name} PROPERTIES PREFIX "")
  endif()

  if((BUILD_TESTING OR SEIS_BUILD_BENCHMARKS) AND NOT arg_NO_VARIANTS)
    add_library(${name}_variants STATIC ${arg_SOURCE})
    target_include_directories(${name}_variants PUBLIC
      ${CMAKE_CURRENT_SOURCE_DIR}/include ${CMAKE_CURRENT_SOURCE_DIR})
    target_include_directories(${name}_variants PRIVATE ${PROJECT_SOURCE_DIR}/common)
    target_compile_definitions(${name}_variants PRIVATE ${upper}_VARIANTS_ONLY)
    target_link_libraries(${name}_variants PRIVATE seis_library_options ${arg_LIBS})
  endif()
endfunction()
