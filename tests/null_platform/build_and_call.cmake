# Configures and builds the library for the null platform, then compiles and
# runs the C program that calls every exported function against it.
#   cmake -DSOURCE_DIR=<repo> -DWORK_DIR=<scratch> -DCHECK_SOURCE=<c file>
#         -DC_COMPILER=<cc> -DCXX_COMPILER=<c++> -DGENERATOR=<gen>
#         [-DBUILD_TYPE=<type>] [-DSANITIZE=ON] [-DEXTRA_FLAGS=<flags>] -P build_and_call.cmake
# The scratch build is kept, so that a second run only rebuilds what changed.
foreach(var SOURCE_DIR WORK_DIR CHECK_SOURCE C_COMPILER CXX_COMPILER GENERATOR)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "${var} is not set")
  endif()
endforeach()
if(NOT SANITIZE)
  set(SANITIZE OFF)
endif()
separate_arguments(extra_flags UNIX_COMMAND "${EXTRA_FLAGS}")

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    string(REPLACE ";" " " command "${ARGN}")
    message(FATAL_ERROR "Failed (${rc}): ${command}\n${out}\n${err}")
  endif()
  set(run_output "${out}" PARENT_SCOPE)
endfunction()

set(build ${WORK_DIR}/build)
run(${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${build} -G ${GENERATOR}
    -DCMAKE_C_COMPILER=${C_COMPILER} -DCMAKE_CXX_COMPILER=${CXX_COMPILER}
    -DCMAKE_BUILD_TYPE=${BUILD_TYPE} -DQX318_PLATFORM=null -DQX318_SANITIZE=${SANITIZE})
run(${CMAKE_COMMAND} --build ${build} --target QX318_RS485)

set(program ${WORK_DIR}/every_call_fails)
run(${C_COMPILER} -std=c11 -Wall -Wextra -Werror ${extra_flags} ${CHECK_SOURCE}
    -I${SOURCE_DIR}/include -L${build}/src -lQX318_RS485 -Wl,-rpath,${build}/src -o ${program})
run(${program})
message(STATUS "${run_output}")
