# The Windows DLL, x86 or x64 after the toolchain, on the win32 platform
# (port/win32/platform.cmake): the core and the converter linked whole, the
# entry point, the version resource and the export list; its import libraries
# for MinGW (.dll.a) and Microsoft's linker (.lib).
# Included from src/CMakeLists.txt.

# The version resource carries the project's version; a part the version
# leaves out is 0.
set(QX318_VERSION_PATCH_NUMBER 0${PROJECT_VERSION_PATCH})
set(QX318_VERSION_TWEAK_NUMBER 0${PROJECT_VERSION_TWEAK})
math(EXPR QX318_VERSION_PATCH_NUMBER ${QX318_VERSION_PATCH_NUMBER})
math(EXPR QX318_VERSION_TWEAK_NUMBER ${QX318_VERSION_TWEAK_NUMBER})
configure_file(version.rc.in ${CMAKE_CURRENT_BINARY_DIR}/version.rc @ONLY)
add_library(QX318_RS485 SHARED shared_library.cpp ${QX318_LIBRARY_ENTRY}
            ${CMAKE_CURRENT_BINARY_DIR}/version.rc)
target_link_libraries(QX318_RS485 PRIVATE
  "$<LINK_LIBRARY:WHOLE_ARCHIVE,qx318_core,${QX318_CONVERTER}>" qx318_codec qx318_warnings)
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
            -DDECORATED=${QX318_STDCALL_DECORATED}
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

  # Microsoft's linker refuses the GNU import library on 32-bit Windows while
  # it requires safe exception handlers (/SAFESEH, set in Visual Studio's x86
  # projects): the objects dlltool writes carry no SafeSEH flag. LLVM's
  # dlltool writes the short import records that linker makes itself. With the sizes cut off
  # (-k) each record keeps the decorated _Name@N that a __stdcall caller of
  # the header links against and tells the loader to look up the plain Name
  # the DLL exports. PRIVATE keeps DllMain out, as in the GNU library.
  file(GLOB llvm_folders /usr/lib/llvm-*/bin)
  find_program(QX318_LLVM_DLLTOOL NAMES llvm-dlltool PATHS ${llvm_folders})
  if(NOT QX318_LLVM_DLLTOOL)
    message(FATAL_ERROR "llvm-dlltool (Debian package llvm) is needed to write "
                        "QX318_RS485.lib, the import library for Microsoft's linker")
  endif()
  if(QX318_STDCALL_DECORATED)
    set(machine_and_sizes -m i386 -k)
  else()
    set(machine_and_sizes -m i386:x86-64)
  endif()
  set(QX318_MSVC_IMPORT_LIBRARY ${CMAKE_CURRENT_BINARY_DIR}/QX318_RS485.lib)
  add_custom_command(OUTPUT ${QX318_MSVC_IMPORT_LIBRARY}
    COMMAND ${QX318_LLVM_DLLTOOL} ${machine_and_sizes} -d ${QX318_DLL_DEF}
            -D QX318_RS485.dll -l ${QX318_MSVC_IMPORT_LIBRARY}
    DEPENDS ${QX318_DLL_DEF}
    VERBATIM)
  add_custom_target(qx318_msvc_import_library DEPENDS ${QX318_MSVC_IMPORT_LIBRARY})
  # Whatever builds or links the DLL gets both import libraries; the install
  # and the tests find this one through the property.
  add_dependencies(QX318_RS485 qx318_msvc_import_library)
  set_target_properties(QX318_RS485 PROPERTIES
    QX318_MSVC_IMPORT_LIBRARY ${QX318_MSVC_IMPORT_LIBRARY})
endif()
add_library(QX318_RS485::QX318_RS485 ALIAS QX318_RS485)

if(MINGW)
  # Nothing in the library throws, and nothing may cross into C: without
  # exception tables the DLL also carries no threading runtime (whose TLS
  # callback would run at every thread attach and detach).
  foreach(target qx318_codec qx318_core ${QX318_CONVERTER} QX318_RS485)
    target_compile_options(${target} PRIVATE -fno-exceptions)
  endforeach()
endif()

if(MINGW)
  # What ships is what the suites test: the DLL without its debug information,
  # which stays beside it in QX318_RS485.dll.debug, found by debuggers through
  # the link the DLL keeps to it.
  add_custom_command(TARGET QX318_RS485 POST_BUILD
    COMMAND ${CMAKE_OBJCOPY} --only-keep-debug $<TARGET_FILE_NAME:QX318_RS485>
            $<TARGET_FILE_NAME:QX318_RS485>.debug
    COMMAND ${CMAKE_OBJCOPY} --strip-debug
            --add-gnu-debuglink=$<TARGET_FILE_NAME:QX318_RS485>.debug
            $<TARGET_FILE_NAME:QX318_RS485>
    WORKING_DIRECTORY $<TARGET_FILE_DIR:QX318_RS485>
    VERBATIM)
endif()
