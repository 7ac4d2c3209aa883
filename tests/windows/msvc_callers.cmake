# Callers built as Microsoft's tools build them, to prove QX318_RS485.lib:
# clang-cl compiles with Microsoft's rules and lld-link links with them,
# /SAFESEH included on 32-bit Windows. Neither is the project's compiler, so
# they run as custom commands. There is no Microsoft C runtime here: the C
# example links tiny_crt/ (entry point and printf on kernel32 alone) and an
# import library of the few kernel32 functions it calls.
#   - the C example (examples/c/), run against qx318-sim by CMakeLists.txt;
#   - a C++ caller of every export, written from the export list.
# Included from CMakeLists.txt, which defines QX318_WINDOWS_TEST_BIN.

file(GLOB llvm_folders /usr/lib/llvm-*/bin)
# clang-cl is clang in its cl driver mode, named so by a link that Debian's
# clang package leaves to clang-tools: plain clang is told the mode instead.
find_program(QX318_CLANG_CL NAMES clang-cl PATHS ${llvm_folders})
find_program(QX318_CLANG NAMES clang PATHS ${llvm_folders})
if(QX318_CLANG_CL)
  set(msvc_compiler ${QX318_CLANG_CL})
elseif(QX318_CLANG)
  set(msvc_compiler ${QX318_CLANG} --driver-mode=cl)
endif()
find_program(QX318_LLD_LINK NAMES lld-link PATHS ${llvm_folders})
find_program(QX318_LLVM_READOBJ NAMES llvm-readobj PATHS ${llvm_folders})
if(NOT (msvc_compiler AND QX318_LLD_LINK AND QX318_LLVM_READOBJ))
  message(FATAL_ERROR "clang, lld-link and llvm-readobj (Debian packages clang, lld and llvm) "
                      "are needed to prove QX318_RS485.lib with Microsoft's rules")
endif()

if(QX318_STDCALL_DECORATED)
  set(msvc_machine x86)
  set(msvc_target i686-pc-windows-msvc)
  set(msvc_dlltool_machine -m i386 -k)
  # The point of the import library: the link that requires safe exception
  # handlers of every object, as Visual Studio's x86 projects do.
  set(msvc_safeseh /SAFESEH)
else()
  set(msvc_machine x64)
  set(msvc_target x86_64-pc-windows-msvc)
  set(msvc_dlltool_machine -m i386:x86-64)
  set(msvc_safeseh "")
endif()

get_target_property(msvc_import_library QX318_RS485 QX318_MSVC_IMPORT_LIBRARY)
set(msvc_dir ${CMAKE_CURRENT_BINARY_DIR}/msvc)
set(tiny_crt ${CMAKE_CURRENT_SOURCE_DIR}/tiny_crt)
file(MAKE_DIRECTORY ${msvc_dir})

# No security cookie (/GS-) and no default libraries (/Zl): both come from
# the C runtime. Freestanding, clang's own stdint.h and stddef.h serve the
# header, where a Visual Studio build has the runtime's.
set(msvc_compile ${msvc_compiler} --target=${msvc_target} /nologo /c /W4 /WX /O2 /GS- /Zl
                 /clang:-ffreestanding /I${PROJECT_SOURCE_DIR}/include /I${tiny_crt})
set(msvc_link ${QX318_LLD_LINK} /NOLOGO ${msvc_safeseh} /SUBSYSTEM:CONSOLE /NODEFAULTLIB)

# Compiles source into ${msvc_dir}/<object>; the file names after "--",
# where clang-cl takes no absolute path for an option.
function(qx318_msvc_object source object)
  add_custom_command(OUTPUT ${msvc_dir}/${object}
    COMMAND ${msvc_compile} /Fo${msvc_dir}/${object} -- ${source}
    DEPENDS ${source} ${PROJECT_SOURCE_DIR}/include/QX318_RS485.h ${tiny_crt}/stdio.h
    VERBATIM)
endfunction()

qx318_def_for_target(${tiny_crt}/kernel32.def msvc_kernel32_def)
add_custom_command(OUTPUT ${msvc_dir}/kernel32.lib
  COMMAND ${QX318_LLVM_DLLTOOL} ${msvc_dlltool_machine} -d ${msvc_kernel32_def}
          -l ${msvc_dir}/kernel32.lib
  DEPENDS ${msvc_kernel32_def}
  VERBATIM)

qx318_msvc_object(${PROJECT_SOURCE_DIR}/examples/c/qx318_example.c qx318_example.obj)
qx318_msvc_object(${tiny_crt}/tiny_crt.c tiny_crt.obj)
set(msvc_example ${QX318_WINDOWS_TEST_BIN}/qx318_example_msvc.exe)
set(msvc_example_objects ${msvc_dir}/qx318_example.obj ${msvc_dir}/tiny_crt.obj)
add_custom_command(OUTPUT ${msvc_example}
  COMMAND ${msvc_link} /ENTRY:mainCRTStartup /OUT:${msvc_example} ${msvc_example_objects}
          ${msvc_import_library} ${msvc_dir}/kernel32.lib
  DEPENDS ${msvc_example_objects} ${msvc_import_library} ${msvc_dir}/kernel32.lib
  VERBATIM)

# Every export of the list, referenced as a C++ caller of the header does:
# linking it proves that the import library resolves each one under the name
# the compiler gives it (on x86 with the argument sizes the header makes);
# its import table, that each is looked up under the plain name the DLL
# exports (windows.dll_binary checks those). It is not run: Wine starts a
# program whose import the DLL lacks and fails only the call.
file(STRINGS ${PROJECT_SOURCE_DIR}/include/QX318_RS485.def export_lines REGEX "^[ \t]+[A-Za-z_]")
set(every_export_references "")
foreach(line IN LISTS export_lines)
  string(STRIP "${line}" entry)
  if(NOT entry MATCHES " PRIVATE$")
    string(APPEND every_export_references "    reinterpret_cast<AnyFunction>(&${entry}),\n")
  endif()
endforeach()
file(CONFIGURE OUTPUT ${msvc_dir}/every_export.cpp CONTENT [[
// Written by tests/windows/msvc_callers.cmake from include/QX318_RS485.def.
#include "QX318_RS485.h"

using AnyFunction = void (*)();
extern "C" const AnyFunction qx318_every_export[] = {
@every_export_references@};

// The program is linked, never run: its import table is what counts.
extern "C" int EveryExportEntry() { return 0; }
]] @ONLY)
qx318_msvc_object(${msvc_dir}/every_export.cpp every_export.obj)
set(msvc_every_export ${QX318_WINDOWS_TEST_BIN}/every_export_msvc.exe)
add_custom_command(OUTPUT ${msvc_every_export}
  # /OPT:NOREF: the table is referenced by nothing but must stay.
  COMMAND ${msvc_link} /ENTRY:EveryExportEntry /OPT:NOREF /OUT:${msvc_every_export}
          ${msvc_dir}/every_export.obj ${msvc_import_library}
  DEPENDS ${msvc_dir}/every_export.obj ${msvc_import_library}
  VERBATIM)

add_custom_target(qx318_msvc_callers ALL DEPENDS ${msvc_example} ${msvc_every_export})
add_dependencies(qx318_msvc_callers qx318_msvc_import_library qx318_dll_for_tests)

set(check_msvc ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/check_msvc_import_library.py)
set(export_list --def ${PROJECT_SOURCE_DIR}/include/QX318_RS485.def --machine ${msvc_machine})
add_test(NAME windows.msvc_import_library
  COMMAND ${check_msvc} library ${msvc_import_library} ${export_list})
add_test(NAME windows.msvc_every_export_imports
  COMMAND ${check_msvc} caller ${msvc_every_export} ${export_list}
          --readobj ${QX318_LLVM_READOBJ} --every-export)
add_test(NAME windows.c_example_msvc_imports
  COMMAND ${check_msvc} caller ${msvc_example} ${export_list} --readobj ${QX318_LLVM_READOBJ})
if(msvc_safeseh)
  # The proof above is worth only as much as the linker's check: the same
  # objects with the GNU import library must be refused.
  add_test(NAME windows.msvc_safeseh_refuses_gnu_import_library
    COMMAND ${msvc_link} /ENTRY:mainCRTStartup /OUT:${msvc_dir}/refused.exe
            ${msvc_example_objects} $<TARGET_LINKER_FILE:QX318_RS485> ${msvc_dir}/kernel32.lib)
  set_tests_properties(windows.msvc_safeseh_refuses_gnu_import_library PROPERTIES
    PASS_REGULAR_EXPRESSION "is not compatible with SEH")
endif()
