# Writes the DLL's export list with the __stdcall argument sizes that the
# compiler gave each exported name, found with nm in the core archive.
#   cmake -DNM=... -DARCHIVE=... -DDECORATED=ON|OFF -DEXPORTS=QX318_RS485.def -DOUTPUT=...
#         -P windows_export_def.cmake
# The linker strips the sizes again (--kill-at), so the DLL exports plain
# names; dlltool keeps them in the import library, where callers compiled
# with the header look for them. DECORATED=OFF is 64-bit Windows, whose one
# calling convention decorates nothing: the names are checked and kept plain.
cmake_minimum_required(VERSION 3.25)

foreach(var NM ARCHIVE DECORATED EXPORTS OUTPUT)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "windows_export_def.cmake needs -D${var}=")
  endif()
endforeach()

execute_process(COMMAND ${NM} --defined-only --extern-only ${ARCHIVE}
  OUTPUT_VARIABLE symbols RESULT_VARIABLE nm_result)
if(NOT nm_result EQUAL 0)
  message(FATAL_ERROR "${NM} failed on ${ARCHIVE}")
endif()

file(STRINGS ${EXPORTS} export_lines REGEX "^[ \t]+[A-Za-z_]")
set(def "LIBRARY QX318_RS485.dll\nEXPORTS\n")
foreach(line IN LISTS export_lines)
  string(STRIP "${line}" entry)
  # The loader's entry point lives in the DLL's own object, not in the core,
  # and has the same signature everywhere. PRIVATE keeps it out of the import
  # library, where it would stand in for the entry point of any DLL that
  # links against ours without one of its own.
  if(entry STREQUAL "DllMain PRIVATE")
    if(DECORATED)
      string(APPEND def "    DllMain@12 PRIVATE\n")
    else()
      string(APPEND def "    DllMain PRIVATE\n")
    endif()
    continue()
  endif()
  set(name "${entry}")
  if(DECORATED)
    string(REGEX MATCH " T _${name}@([0-9]+)\n" found "${symbols}")
    set(decoration "@${CMAKE_MATCH_1}")
  else()
    string(REGEX MATCH " T ${name}\n" found "${symbols}")
    set(decoration "")
  endif()
  if(NOT found)
    message(FATAL_ERROR "${name} is not a __stdcall function defined in ${ARCHIVE}")
  endif()
  string(APPEND def "    ${name}${decoration}\n")
endforeach()

file(WRITE ${OUTPUT}.tmp "${def}")
file(COPY_FILE ${OUTPUT}.tmp ${OUTPUT} ONLY_IF_DIFFERENT)
file(REMOVE ${OUTPUT}.tmp)
