# The null platform, for a system without serial support: a converter that
# opens nothing, so that every exported function fails cleanly, on nothing
# but the C++ standard library (the steady clock, the C heap, the constant
# CRC table). Selected with -DQX318_PLATFORM=null; the test in
# tests/null_platform/ builds and calls it. Included from src/CMakeLists.txt.

target_sources(qx318_codec PRIVATE ${QX318_PORT_DIR}/portable/crc_table_constant.cpp)
target_sources(qx318_core PRIVATE
  ${QX318_PORT_DIR}/portable/zeroed_heap.cpp
  ${CMAKE_CURRENT_LIST_DIR}/monotonic_clock.cpp
  ${QX318_PORT_DIR}/portable/thread_failure.cpp
  ${CMAKE_CURRENT_LIST_DIR}/trace_sink.cpp)

add_library(qx318_converter_null STATIC ${CMAKE_CURRENT_LIST_DIR}/null_converter.cpp)
target_link_libraries(qx318_converter_null PUBLIC qx318_codec PRIVATE qx318_warnings)
set(QX318_CONVERTER qx318_converter_null)
