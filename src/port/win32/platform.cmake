# The Windows platform: the CRC table lives from process attach to detach in
# a LocalAlloc block, work buffers come from LocalAlloc, the clock is
# GetTickCount64, and the converter is the converter library FTD2XX.dll,
# imported by ordinal. Included from src/CMakeLists.txt; the DLL itself is
# made in src/windows.cmake.

target_sources(qx318_codec PRIVATE ${CMAKE_CURRENT_LIST_DIR}/crc_table.cpp)
target_sources(qx318_core PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/zeroed_heap.cpp
  ${CMAKE_CURRENT_LIST_DIR}/monotonic_clock.cpp
  ${CMAKE_CURRENT_LIST_DIR}/thread_failure.cpp
  ${CMAKE_CURRENT_LIST_DIR}/trace_sink.cpp)

# A program that links the core statically gets no load notification: it
# builds the table at its own start. The DLL does it in DllMain instead
# (QX318_LIBRARY_ENTRY below), so only executables receive this object.
add_library(qx318_crc_table_static_link OBJECT ${CMAKE_CURRENT_LIST_DIR}/crc_table_static_link.cpp)
target_include_directories(qx318_crc_table_static_link PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(qx318_crc_table_static_link PRIVATE qx318_warnings)
target_link_libraries(qx318_core INTERFACE
  "$<$<STREQUAL:$<TARGET_PROPERTY:TYPE>,EXECUTABLE>:$<TARGET_OBJECTS:qx318_crc_table_static_link>>")

# The DLL's load and unload entry, which builds and releases the table.
set(QX318_LIBRARY_ENTRY ${CMAKE_CURRENT_LIST_DIR}/dll_main.cpp)

# The converter library's import library, made from our own definition file:
# on 32-bit Windows the ten calls by ordinal, no names; on 64-bit Windows by
# their plain names, the only binding the converter's 64-bit library offers.
include(${PROJECT_SOURCE_DIR}/cmake/WindowsDefinitions.cmake)
qx318_import_def_for_target(${CMAKE_CURRENT_LIST_DIR}/FTD2XX.def QX318_FTD2XX_DEF)
if(MSVC)
  if(QX318_STDCALL_DECORATED)
    set(QX318_LIB_MACHINE X86)
  else()
    set(QX318_LIB_MACHINE X64)
  endif()
  set(QX318_FTD2XX_IMPLIB ${CMAKE_CURRENT_BINARY_DIR}/FTD2XX.lib)
  add_custom_command(OUTPUT ${QX318_FTD2XX_IMPLIB}
    COMMAND ${CMAKE_AR} /NOLOGO /MACHINE:${QX318_LIB_MACHINE} /DEF:${QX318_FTD2XX_DEF}
            /OUT:${QX318_FTD2XX_IMPLIB}
    DEPENDS ${QX318_FTD2XX_DEF} VERBATIM)
else()
  if(NOT CMAKE_DLLTOOL)
    find_program(CMAKE_DLLTOOL NAMES ${CMAKE_C_COMPILER_TARGET}-dlltool dlltool REQUIRED)
  endif()
  set(QX318_FTD2XX_IMPLIB ${CMAKE_CURRENT_BINARY_DIR}/libFTD2XX.dll.a)
  add_custom_command(OUTPUT ${QX318_FTD2XX_IMPLIB}
    COMMAND ${CMAKE_DLLTOOL} --input-def ${QX318_FTD2XX_DEF} --dllname FTD2XX.dll
            --output-lib ${QX318_FTD2XX_IMPLIB}
    DEPENDS ${QX318_FTD2XX_DEF} VERBATIM)
endif()
add_custom_target(qx318_ftd2xx_import_library DEPENDS ${QX318_FTD2XX_IMPLIB})

add_library(qx318_converter_win32 STATIC ${CMAKE_CURRENT_LIST_DIR}/win32_converter.cpp)
add_dependencies(qx318_converter_win32 qx318_ftd2xx_import_library)
target_link_libraries(qx318_converter_win32
  PUBLIC qx318_codec ${QX318_FTD2XX_IMPLIB} PRIVATE qx318_warnings)
set(QX318_CONVERTER qx318_converter_win32)
