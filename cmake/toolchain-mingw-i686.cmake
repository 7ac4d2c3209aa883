# Cross build for 32-bit Windows with Debian's MinGW-w64 i686 toolchain: the
# x86 DLL, the library's primary target.
set(QX318_MINGW_PREFIX i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw-common.cmake)
set(CMAKE_SYSTEM_PROCESSOR x86)

# Test programs run under Wine; the prefix comes from WINEPREFIX.
find_program(QX318_WINE wine)
if(QX318_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${QX318_WINE})
endif()
