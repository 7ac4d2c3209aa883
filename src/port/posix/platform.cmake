# The POSIX platform: the termios serial converter (and serial ports served
# over the network), CLOCK_MONOTONIC, work
# buffers from the C heap. There is no load notification, so the CRC table
# is a compile-time constant. Included from src/CMakeLists.txt.

target_sources(qx318_codec PRIVATE ${QX318_PORT_DIR}/portable/crc_table_constant.cpp)
target_sources(qx318_core PRIVATE
  ${QX318_PORT_DIR}/portable/zeroed_heap.cpp
  ${CMAKE_CURRENT_LIST_DIR}/monotonic_clock.cpp
  ${QX318_PORT_DIR}/portable/thread_failure.cpp
  ${CMAKE_CURRENT_LIST_DIR}/trace_sink.cpp)

add_library(qx318_converter_posix STATIC
  ${CMAKE_CURRENT_LIST_DIR}/posix_converter.cpp
  ${CMAKE_CURRENT_LIST_DIR}/handle_table.cpp
  ${CMAKE_CURRENT_LIST_DIR}/serial_transport.cpp
  ${CMAKE_CURRENT_LIST_DIR}/network_port.cpp
  ${QX318_PORT_DIR}/portable/telnet_com_port.cpp
  ${CMAKE_CURRENT_LIST_DIR}/timed_io.cpp
  ${CMAKE_CURRENT_LIST_DIR}/line_speed.cpp
  ${CMAKE_CURRENT_LIST_DIR}/usb_lookup.cpp)
# Any rate on Linux goes through termios2, low-latency mode through the
# serial driver's request, and the TCP figures through TCP_INFO; elsewhere
# only the named rates, the driver's own pacing and fixed network figures.
if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
  target_sources(qx318_converter_posix PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/termios2_linux.cpp ${CMAKE_CURRENT_LIST_DIR}/low_latency_linux.cpp
    ${CMAKE_CURRENT_LIST_DIR}/tcp_tuning_linux.cpp)
else()
  target_sources(qx318_converter_posix PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/termios2_none.cpp ${CMAKE_CURRENT_LIST_DIR}/low_latency_none.cpp
    ${CMAKE_CURRENT_LIST_DIR}/tcp_tuning_none.cpp)
endif()
target_link_libraries(qx318_converter_posix PUBLIC qx318_codec PRIVATE qx318_warnings)
set(QX318_CONVERTER qx318_converter_posix)

# The library's code as one static link: what the tests, the simulator and
# the host tool link when they want the real POSIX converter.
add_library(qx318_posix_library INTERFACE)
target_link_libraries(qx318_posix_library INTERFACE qx318_core qx318_converter_posix)
