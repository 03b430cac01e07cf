# Installs the build tree into a scratch prefix and builds the example
# consumer against it twice, as downstream projects do: once through the
# CMake package (find_package) and once through pkg-config; runs both.
# Usage: cmake -DBUILD_DIR=... -DSOURCE_DIR=... -DWORK_DIR=... -P install_test.cmake
function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    string(JOIN " " cmd ${ARGN})
    message(FATAL_ERROR "failed (${rc}): ${cmd}\n${out}\n${err}")
  endif()
  message(STATUS "${out}")
endfunction()

file(REMOVE_RECURSE ${WORK_DIR})
set(prefix ${WORK_DIR}/prefix)
run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})

foreach(f include/traveltime.h include/ibmfloat.h include/arrivals.h)
  if(NOT EXISTS ${prefix}/${f})
    message(FATAL_ERROR "not installed: ${f}")
  endif()
endforeach()
file(GLOB_RECURSE installed_libs RELATIVE ${prefix} ${prefix}/*.so*)
message(STATUS "installed: ${installed_libs}")

# 1. CMake package.
run(${CMAKE_COMMAND} -S ${SOURCE_DIR}/examples/consumer -B ${WORK_DIR}/cmake-consumer
    -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_BUILD_TYPE=Release)
run(${CMAKE_COMMAND} --build ${WORK_DIR}/cmake-consumer)
run(${WORK_DIR}/cmake-consumer/consumer)

# 2. pkg-config.
find_program(PKG_CONFIG pkg-config REQUIRED)
find_program(CC NAMES cc gcc clang REQUIRED)
file(GLOB_RECURSE pc_files ${prefix}/*/traveltime.pc)
list(GET pc_files 0 pc_file)
get_filename_component(pc_dir ${pc_file} DIRECTORY)
set(ENV{PKG_CONFIG_PATH} ${pc_dir})
execute_process(COMMAND ${PKG_CONFIG} --cflags --libs traveltime ibmfloat arrivals
                OUTPUT_VARIABLE flags OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "pkg-config does not know the libraries")
endif()
separate_arguments(flags UNIX_COMMAND "${flags}")
execute_process(COMMAND ${PKG_CONFIG} --variable=libdir traveltime
                OUTPUT_VARIABLE libdir OUTPUT_STRIP_TRAILING_WHITESPACE)
run(${CC} ${SOURCE_DIR}/examples/consumer/consumer.c ${flags} -lm -Wl,-rpath,${libdir}
    -o ${WORK_DIR}/pkgconfig-consumer)
run(${WORK_DIR}/pkgconfig-consumer)

# 3. The Python package, from the site folder of the prefix, with the
# libraries installed in its own folder and no library variable set.
if(PYTHON)
  if(IS_ABSOLUTE "${PYTHON_SITE_DIR}")
    message(STATUS "SEIS_PYTHON_SITE_DIR is absolute (${PYTHON_SITE_DIR}): not in the scratch prefix")
    return()
  endif()
  set(site ${prefix}/${PYTHON_SITE_DIR})
  run(${CMAKE_COMMAND} -E env --unset=TRAVELTIME_LIBRARY --unset=IBMFLOAT_LIBRARY
      --unset=ARRIVALS_LIBRARY PYTHONPATH=${site} ${PYTHON} -c [=[
import seiskernels, seiskernels.ibmfloat as m
trace = bytearray.fromhex("41100000 c276a000")
seiskernels.ibm2ieee(trace)
assert memoryview(trace).cast("f").tolist() == [1.0, -118.625]
assert m._lib._name.startswith(seiskernels.__path__[0]), m._lib._name
try:
    import numpy
except ImportError:
    numpy = None
if numpy is not None:
    from seiskernels import _engine
    assert _engine._lib._name.startswith(seiskernels.__path__[0]), _engine._lib._name
print("Python package from", seiskernels.__path__[0])
]=])
endif()
