# Installation: the three libraries with their SONAME links, their headers, a
# CMake package (seiskernels::traveltime, seiskernels::ibmfloat,
# seiskernels::arrivals) and pkg-config files.
include(CMakePackageConfigHelpers)

set(SEIS_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/seiskernels)

install(TARGETS traveltime ibmfloat arrivals
  EXPORT seiskernelsTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}  # DLLs
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}  # their import libraries
  PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(EXPORT seiskernelsTargets
  NAMESPACE seiskernels::
  DESTINATION ${SEIS_CMAKE_DIR})

configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/seiskernelsConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/seiskernelsConfig.cmake
  INSTALL_DESTINATION ${SEIS_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/seiskernelsConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES
  ${CMAKE_CURRENT_BINARY_DIR}/seiskernelsConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/seiskernelsConfigVersion.cmake
  DESTINATION ${SEIS_CMAKE_DIR})

# pkg-config files that find their prefix from where they lie (pcfiledir),
# so that `cmake --install --prefix` anywhere, or moving the installed tree,
# keeps them right.
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
  set(PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
else()
  string(REGEX REPLACE "[^/]+" ".." up "${CMAKE_INSTALL_LIBDIR}")
  set(PC_PREFIX "\${pcfiledir}/../${up}")  # up from <libdir>/pkgconfig
endif()
foreach(kind LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${kind}}")
    set(PC_${kind} "${CMAKE_INSTALL_${kind}}")
  else()
    set(PC_${kind} "\${prefix}/${CMAKE_INSTALL_${kind}}")
  endif()
endforeach()
foreach(lib traveltime ibmfloat arrivals)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/${lib}.pc.in ${CMAKE_CURRENT_BINARY_DIR}/${lib}.pc @ONLY)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/${lib}.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endforeach()
