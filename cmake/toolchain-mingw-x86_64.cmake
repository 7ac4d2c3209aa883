# Cross build for 64-bit Windows with Debian's MinGW-w64 x86_64 toolchain:
# the x64 DLL, shipped beside the 32-bit one (toolchain-mingw-i686.cmake) for
# 64-bit hosts, from the same sources, with its suites under 64-bit Wine.
set(QX318_MINGW_PREFIX x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw-common.cmake)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

# Test programs run under 64-bit Wine; the prefix comes from WINEPREFIX.
# Debian's /usr/bin/wine prefers the 32-bit loader whenever wine32 is
# installed, so the 64-bit loader is named directly.
find_program(QX318_WINE NAMES wine64 PATHS /usr/lib/wine NO_DEFAULT_PATH)
if(NOT QX318_WINE)
  find_program(QX318_WINE NAMES wine64)
endif()
if(QX318_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${QX318_WINE})
endif()
