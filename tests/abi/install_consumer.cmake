# Installs the build into a fresh prefix, then builds and runs a consumer of
# the installed library twice: once through find_package(QX318_RS485), once
# with nothing but the compiler and pkg-config. The C++ consumer, through both
# routes, is built as C++17 and as C++20.
#   cmake -DBUILD_DIR=<build> -DWORK_DIR=<scratch> -DCONSUMER_DIR=<src>
#         -DCXX_CONSUMER_DIR=<src> -DC_COMPILER=<cc> -DCXX_COMPILER=<c++>
#         -DGENERATOR=<gen> [-DEXTRA_FLAGS=<flags>] -P install_consumer.cmake
foreach(var BUILD_DIR WORK_DIR CONSUMER_DIR CXX_CONSUMER_DIR C_COMPILER CXX_COMPILER GENERATOR)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "${var} is not set")
  endif()
endforeach()
separate_arguments(extra_flags UNIX_COMMAND "${EXTRA_FLAGS}")

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    string(REPLACE ";" " " command "${ARGN}")
    message(FATAL_ERROR "Failed (${rc}): ${command}\n${out}\n${err}")
  endif()
  set(run_output "${out}" PARENT_SCOPE)
endfunction()

set(prefix ${WORK_DIR}/prefix)
file(REMOVE_RECURSE ${WORK_DIR})
run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})

foreach(expected include/QX318_RS485.h include/qx318.hpp)
  if(NOT EXISTS ${prefix}/${expected})
    message(FATAL_ERROR "Not installed: ${expected}")
  endif()
endforeach()
file(GLOB_RECURSE sonames ${prefix}/libQX318_RS485.so.1)
file(GLOB_RECURSE pc_files ${prefix}/QX318_RS485.pc)
file(GLOB_RECURSE config_files ${prefix}/QX318_RS485Config.cmake)
if(NOT sonames OR NOT pc_files OR NOT config_files)
  message(FATAL_ERROR "Missing among the installed files: the library by its SONAME, "
                      "the pkg-config file or the CMake package")
endif()
get_filename_component(libdir ${sonames} DIRECTORY)
get_filename_component(pc_dir ${pc_files} DIRECTORY)

# find_package: the imported target carries include path and library.
string(REPLACE ";" " " flags "${extra_flags}")
run(${CMAKE_COMMAND} -S ${CONSUMER_DIR} -B ${WORK_DIR}/cmake-consumer -G ${GENERATOR}
    -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_C_COMPILER=${C_COMPILER} "-DCMAKE_C_FLAGS=${flags}"
    "-DCMAKE_EXE_LINKER_FLAGS=${flags}")
run(${CMAKE_COMMAND} --build ${WORK_DIR}/cmake-consumer)
run(${WORK_DIR}/cmake-consumer/consumer)
message(STATUS "find_package consumer: ${run_output}")

run(${CMAKE_COMMAND} -S ${CXX_CONSUMER_DIR} -B ${WORK_DIR}/cmake-cxx-consumer -G ${GENERATOR}
    -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_CXX_COMPILER=${CXX_COMPILER}
    "-DCMAKE_CXX_FLAGS=${flags}" "-DCMAKE_EXE_LINKER_FLAGS=${flags}")
run(${CMAKE_COMMAND} --build ${WORK_DIR}/cmake-cxx-consumer)
foreach(standard 17 20)
  run(${WORK_DIR}/cmake-cxx-consumer/consumer${standard})
  message(STATUS "find_package C++${standard} consumer: ${run_output}")
endforeach()

# pkg-config, from the installed .pc file alone.
set(ENV{PKG_CONFIG_PATH} ${pc_dir})
run(pkg-config --cflags --libs QX318_RS485)
separate_arguments(pc_flags UNIX_COMMAND "${run_output}")
run(${C_COMPILER} ${extra_flags} ${CONSUMER_DIR}/consumer.c ${pc_flags}
    -o ${WORK_DIR}/pkg-config-consumer)
set(ENV{LD_LIBRARY_PATH} ${libdir})
run(${WORK_DIR}/pkg-config-consumer)
message(STATUS "pkg-config consumer: ${run_output}")
foreach(standard 17 20)
  run(${CXX_COMPILER} -std=c++${standard} -Wall -Wextra -Wpedantic -Wconversion -Werror
      ${extra_flags} ${CXX_CONSUMER_DIR}/consumer.cpp ${pc_flags}
      -o ${WORK_DIR}/pkg-config-cxx-consumer${standard})
  run(${WORK_DIR}/pkg-config-cxx-consumer${standard})
  message(STATUS "pkg-config C++${standard} consumer: ${run_output}")
endforeach()

file(REMOVE_RECURSE ${WORK_DIR})
