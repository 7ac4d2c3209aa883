# The 32-bit Windows build: the CRC table lives from process attach to
# detach in a LocalAlloc block, work buffers come from LocalAlloc, and the
# converter is the converter library FTD2XX.dll, imported by ordinal.
# Included from src/CMakeLists.txt.

target_sources(qx318_codec PRIVATE protocol/crc_table_win32.cpp)
target_sources(qx318_core PRIVATE protocol/work_buffer_win32.cpp port/clock_win32.cpp
  port/thread_failure_win32.cpp port/trace_sink_win32.cpp)

# A program that links the core statically gets no load notification: it
# builds the table at its own start. The DLL does it in DllMain instead, so
# only executables receive this object.
add_library(qx318_crc_table_static_link OBJECT protocol/crc_table_static_link.cpp)
target_include_directories(qx318_crc_table_static_link PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(qx318_crc_table_static_link PRIVATE qx318_warnings)
target_link_libraries(qx318_core INTERFACE
  "$<$<STREQUAL:$<TARGET_PROPERTY:TYPE>,EXECUTABLE>:$<TARGET_OBJECTS:qx318_crc_table_static_link>>")

# The converter library's import library, made from our own definition file:
# the ten calls by ordinal, no names.
set(QX318_FTD2XX_DEF ${CMAKE_CURRENT_SOURCE_DIR}/port/win32/FTD2XX.def)
if(MSVC)
  set(QX318_FTD2XX_IMPLIB ${CMAKE_CURRENT_BINARY_DIR}/FTD2XX.lib)
  add_custom_command(OUTPUT ${QX318_FTD2XX_IMPLIB}
    COMMAND ${CMAKE_AR} /NOLOGO /MACHINE:X86 /DEF:${QX318_FTD2XX_DEF} /OUT:${QX318_FTD2XX_IMPLIB}
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

add_library(qx318_converter_win32 STATIC port/win32/win32_converter.cpp)
add_dependencies(qx318_converter_win32 qx318_ftd2xx_import_library)
target_link_libraries(qx318_converter_win32
  PUBLIC qx318_codec ${QX318_FTD2XX_IMPLIB} PRIVATE qx318_warnings)

# The DLL: the core and the converter linked whole, the entry point, the
# version resource and the export list.
add_library(QX318_RS485 SHARED shared_library.cpp protocol/dll_main.cpp version.rc)
target_link_libraries(QX318_RS485 PRIVATE
  "$<LINK_LIBRARY:WHOLE_ARCHIVE,qx318_core,qx318_converter_win32>" qx318_codec qx318_warnings)
target_include_directories(QX318_RS485 PUBLIC
  $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include>
  $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
set_target_properties(QX318_RS485 PROPERTIES
  PREFIX ""
  IMPORT_PREFIX ""
  PUBLIC_HEADER ${PROJECT_SOURCE_DIR}/include/QX318_RS485.h)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
             ${PROJECT_SOURCE_DIR}/include/QX318_RS485.def)

if(MSVC)
  # The Microsoft linker matches the plain names of the export list to the
  # __stdcall symbols and writes an import library that maps them back.
  target_sources(QX318_RS485 PRIVATE ${PROJECT_SOURCE_DIR}/include/QX318_RS485.def)
  # Linked with the static runtime, so that the DLL needs no runtime DLLs.
  set_target_properties(QX318_RS485 PROPERTIES
    MSVC_RUNTIME_LIBRARY "MultiThreaded$<$<CONFIG:Debug>:Debug>")
else()
  # GNU ld would export the plain names but put them, undecorated, into the
  # import library, where __stdcall callers cannot find them. So the export
  # list is given with the argument sizes, the linker strips them from the
  # export table, and dlltool writes the import library that keeps them.
  if(NOT CMAKE_NM)
    find_program(CMAKE_NM NAMES ${CMAKE_C_COMPILER_TARGET}-nm nm REQUIRED)
  endif()
  set(QX318_DLL_DEF ${CMAKE_CURRENT_BINARY_DIR}/QX318_RS485.stdcall.def)
  add_custom_command(OUTPUT ${QX318_DLL_DEF}
    COMMAND ${CMAKE_COMMAND} -DNM=${CMAKE_NM} -DARCHIVE=$<TARGET_FILE:qx318_core>
            -DEXPORTS=${PROJECT_SOURCE_DIR}/include/QX318_RS485.def -DOUTPUT=${QX318_DLL_DEF}
            -P ${CMAKE_CURRENT_SOURCE_DIR}/windows_export_def.cmake
    DEPENDS qx318_core ${PROJECT_SOURCE_DIR}/include/QX318_RS485.def
            ${CMAKE_CURRENT_SOURCE_DIR}/windows_export_def.cmake
    VERBATIM)
  target_sources(QX318_RS485 PRIVATE ${QX318_DLL_DEF})
  target_link_options(QX318_RS485 PRIVATE "LINKER:--kill-at" "LINKER:--no-undefined")
  # Run where the library goes, with a relative name: dlltool names its
  # internal symbols after the output path, which would otherwise carry the
  # build folder into the shipped file.
  add_custom_command(TARGET QX318_RS485 POST_BUILD
    COMMAND ${CMAKE_DLLTOOL} --input-def ${QX318_DLL_DEF} --dllname QX318_RS485.dll --kill-at
            --output-lib $<TARGET_LINKER_FILE_NAME:QX318_RS485>
    WORKING_DIRECTORY $<TARGET_LINKER_FILE_DIR:QX318_RS485>
    VERBATIM)
endif()
add_library(QX318_RS485::QX318_RS485 ALIAS QX318_RS485)

if(MINGW)
  # Nothing in the library throws, and nothing may cross into C: without
  # exception tables the DLL also carries no threading runtime (whose TLS
  # callback would run at every thread attach and detach).
  foreach(target qx318_codec qx318_core qx318_converter_win32 QX318_RS485)
    target_compile_options(${target} PRIVATE -fno-exceptions)
  endforeach()
endif()
