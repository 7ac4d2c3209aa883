# Checks the built DLL with objdump and nm:
#   cmake -DOBJDUMP=... -DNM=... -DDECORATED=ON|OFF -DVERSION=1.0.0.1 -DDLL=...
#         -DIMPLIB=... -DEXPORTS=QX318_RS485.def -P check_binary.cmake
# DECORATED=ON is the 32-bit DLL, OFF the 64-bit one.
# - it is a DLL for its machine (x86 or x64);
# - it exports exactly the names of the export list and DllMain, none with
#   an @N argument size;
# - it imports from KERNEL32.dll, msvcrt.dll and FTD2XX.dll only;
# - it imports the converter's ten calls by ordinal, never by name, on x86,
#   and by their ten plain names on x64;
# - its version resource gives VERSION as file and product version;
# - its import library resolves every name the way a __stdcall caller
#   compiled with the header looks for it (_Name@N; on x64 the plain Name).
cmake_minimum_required(VERSION 3.25)

foreach(var OBJDUMP NM DECORATED VERSION DLL IMPLIB EXPORTS)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "check_binary.cmake needs -D${var}=")
  endif()
endforeach()

set(converter_calls FT_W32_CloseHandle FT_W32_CreateFile FT_W32_GetCommState FT_W32_PurgeComm
    FT_W32_ReadFile FT_W32_SetCommMask FT_W32_SetCommState FT_W32_SetCommTimeouts
    FT_W32_SetupComm FT_W32_WriteFile)
if(DECORATED)
  set(machine_format "pei-i386")
else()
  set(machine_format "pei-x86-64")
endif()

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

if(NOT dump MATCHES "file format ${machine_format}\n")
  string(REGEX MATCH "file format [^\n]*" found_format "${dump}")
  fail("${found_format}, expected ${machine_format}")
endif()

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
set(converter_names "")
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
    if(member STREQUAL "<none>")
      list(APPEND converter_ordinals ${ordinal})
    else()
      list(APPEND converter_names "${member}")
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

# The 32-bit converter library is bound by its ordinals, the 64-bit one by
# its documented names (its ordinals are not known).
list(SORT converter_ordinals COMPARE NATURAL)
list(SORT converter_names)
if(DECORATED)
  if(NOT converter_ordinals STREQUAL "42;43;44;45;51;54;56;57;58;59")
    fail("FTD2XX.dll ordinals are [${converter_ordinals}], expected 42-45, 51, 54, 56-59")
  endif()
  if(converter_names)
    fail("FTD2XX.dll imports by name [${converter_names}], expected ordinals only")
  endif()
else()
  if(NOT converter_names STREQUAL "${converter_calls}")
    fail("FTD2XX.dll imports by name [${converter_names}], expected [${converter_calls}]")
  endif()
  if(converter_ordinals)
    fail("FTD2XX.dll imports by ordinal [${converter_ordinals}], expected names only")
  endif()
endif()

# The version resource's fixed part (VS_FIXEDFILEINFO) follows its signature
# 0xFEEF04BD, a little-endian DWORD on a DWORD boundary; then come the
# structure version and the file and product versions, each as MS and LS
# DWORDs (major.minor, build.revision).
function(read_dword hex byte_offset out_var)
  math(EXPR at "${byte_offset} * 2")
  string(SUBSTRING "${hex}" ${at} 8 le)
  string(REGEX REPLACE "(..)(..)(..)(..)" "\\4\\3\\2\\1" be "${le}")
  math(EXPR value "0x${be}" OUTPUT_FORMAT DECIMAL)
  set(${out_var} ${value} PARENT_SCOPE)
endfunction()
function(version_at hex byte_offset out_var)
  read_dword("${hex}" ${byte_offset} ms)
  math(EXPR ls_offset "${byte_offset} + 4")
  read_dword("${hex}" ${ls_offset} ls)
  math(EXPR major "${ms} >> 16")
  math(EXPR minor "${ms} & 0xFFFF")
  math(EXPR build "${ls} >> 16")
  math(EXPR revision "${ls} & 0xFFFF")
  set(${out_var} "${major}.${minor}.${build}.${revision}" PARENT_SCOPE)
endfunction()

file(READ ${DLL} dll_hex HEX)
set(search_from 0)
set(signature_at -1)
while(TRUE)
  string(SUBSTRING "${dll_hex}" ${search_from} -1 rest)
  string(FIND "${rest}" "bd04effe" found)
  if(found EQUAL -1)
    break()
  endif()
  math(EXPR position "${search_from} + ${found}")
  math(EXPR misalignment "${position} % 8")
  if(misalignment EQUAL 0)
    set(signature_at ${position})
    break()
  endif()
  math(EXPR search_from "${position} + 1")
endwhile()
if(signature_at EQUAL -1)
  fail("no version resource (VS_FIXEDFILEINFO)")
else()
  math(EXPR fixed_info "${signature_at} / 2")
  math(EXPR file_version_at "${fixed_info} + 8")
  math(EXPR product_version_at "${fixed_info} + 16")
  version_at("${dll_hex}" ${file_version_at} file_version)
  version_at("${dll_hex}" ${product_version_at} product_version)
  if(NOT file_version STREQUAL VERSION OR NOT product_version STREQUAL VERSION)
    fail("version resource gives file ${file_version}, product ${product_version}, expected ${VERSION}")
  endif()
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
message(STATUS "machine: ${machine_format}; version ${file_version}")
message(STATUS "imports: ${imported_dlls}; FTD2XX.dll by ordinal: [${converter_ordinals}],"
               " by name: [${converter_names}]")
