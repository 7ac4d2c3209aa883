# Checks the built DLL with objdump and nm:
#   cmake -DOBJDUMP=... -DNM=... -DDECORATED=ON|OFF -DDLL=... -DIMPLIB=...
#         -DEXPORTS=QX318_RS485.def -P check_binary.cmake
# - it exports exactly the names of the export list and DllMain, none with
#   an @N argument size;
# - it imports from KERNEL32.dll, msvcrt.dll and FTD2XX.dll only;
# - it imports the converter's ten calls by ordinal, never by name;
# - its import library resolves every name the way a __stdcall caller
#   compiled with the header looks for it (_Name@N; on 64-bit Windows,
#   DECORATED=OFF, the plain Name).
cmake_minimum_required(VERSION 3.25)

foreach(var OBJDUMP NM DECORATED DLL IMPLIB EXPORTS)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "check_binary.cmake needs -D${var}=")
  endif()
endforeach()

set(failures "")
macro(fail text)
  string(APPEND failures "  ${text}\n")
endmacro()

execute_process(COMMAND ${OBJDUMP} -p ${DLL} OUTPUT_VARIABLE dump RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} -p ${DLL} failed")
endif()
# Square brackets would keep CMake from splitting the lines into a list.
string(REPLACE "[" "{" dump "${dump}")
string(REPLACE "]" "}" dump "${dump}")
string(REPLACE ";" "," dump "${dump}")
string(REPLACE "\n" ";" lines "${dump}")

file(STRINGS ${EXPORTS} export_lines REGEX "^[ \t]+[A-Za-z_]")
set(expected_exports)
foreach(line IN LISTS export_lines)
  string(STRIP "${line}" entry)
  string(REGEX REPLACE " .*" "" name "${entry}")  # DllMain PRIVATE -> DllMain
  list(APPEND expected_exports ${name})
endforeach()
list(SORT expected_exports)

# Walk the dump: the export name table, and each imported DLL's entries.
set(section "")
set(exports "")
set(imported_dlls "")
set(converter_ordinals "")
foreach(line IN LISTS lines)
  if(line MATCHES "^{Ordinal/Name Pointer} Table")
    set(section exports)
  elseif(line MATCHES "^[ \t]*DLL Name: (.+)$")
    set(section import)
    set(dll_name "${CMAKE_MATCH_1}")
    list(APPEND imported_dlls "${dll_name}")
  elseif(line STREQUAL "")
    set(section "")
  elseif(section STREQUAL "exports" AND line MATCHES "^[ \t]*{ *[0-9]+} (.+)$")
    list(APPEND exports "${CMAKE_MATCH_1}")
  elseif(section STREQUAL "import" AND dll_name STREQUAL "FTD2XX.dll"
         AND line MATCHES "^[ \t]*([0-9a-f]+)[ \t]+([0-9a-f]+)[ \t]+(.*)$")
    set(thunk "${CMAKE_MATCH_1}")
    set(ordinal "${CMAKE_MATCH_2}")
    string(STRIP "${CMAKE_MATCH_3}" member)
    # objdump shows a 32-bit DLL's ordinals in decimal, a 64-bit DLL's (with
    # 16-digit thunks) in hexadecimal.
    string(LENGTH "${thunk}" thunk_digits)
    if(thunk_digits EQUAL 16)
      math(EXPR ordinal "0x${ordinal}" OUTPUT_FORMAT DECIMAL)
    endif()
    list(APPEND converter_ordinals ${ordinal})
    if(NOT member STREQUAL "<none>")
      fail("FTD2XX.dll import ${ordinal} is by name (${member}), not by ordinal")
    endif()
  endif()
endforeach()

list(SORT exports)
if(NOT exports STREQUAL expected_exports)
  fail("exports are [${exports}], expected [${expected_exports}]")
endif()
foreach(name IN LISTS exports)
  if(name MATCHES "@")
    fail("decorated export ${name}")
  endif()
endforeach()

list(SORT imported_dlls)
if(NOT imported_dlls STREQUAL "FTD2XX.dll;KERNEL32.dll;msvcrt.dll")
  fail("imported DLLs are [${imported_dlls}], expected FTD2XX.dll, KERNEL32.dll, msvcrt.dll")
endif()

list(SORT converter_ordinals COMPARE NATURAL)
if(NOT converter_ordinals STREQUAL "42;43;44;45;51;54;56;57;58;59")
  fail("FTD2XX.dll ordinals are [${converter_ordinals}], expected 42-45, 51, 54, 56-59")
endif()

execute_process(COMMAND ${NM} ${IMPLIB} OUTPUT_VARIABLE implib_symbols RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${NM} ${IMPLIB} failed")
endif()
foreach(name IN LISTS expected_exports)
  if(name STREQUAL "DllMain")
    # Linked into a DLL without an entry point of its own, an import of ours
    # would replace that DLL's entry point.
    if(implib_symbols MATCHES "DllMain")
      fail("DllMain is in the import library")
    endif()
  elseif(DECORATED AND NOT implib_symbols MATCHES " I __imp__${name}@[0-9]+\n")
    fail("the import library has no __imp__${name}@N")
  elseif(NOT DECORATED AND NOT implib_symbols MATCHES " I __imp_${name}\n")
    fail("the import library has no __imp_${name}")
  endif()
endforeach()

if(failures)
  message(FATAL_ERROR "${DLL}:\n${failures}")
endif()
message(STATUS "exports: ${exports}")
message(STATUS "imports: ${imported_dlls}; FTD2XX.dll by ordinal: ${converter_ordinals}")
