# Cross build for 64-bit Windows with Debian's MinGW-w64 x86_64 toolchain.
# Not a product: the shipped DLL is 32-bit (toolchain-mingw-i686.cmake). This
# build exists so that the same DLL sources and Windows suites can run under
# 64-bit Wine on machines whose kernel cannot start 32-bit programs. As in
# the 32-bit build, the -posix compilers carry the C++ threading the standard
# library needs, and everything is linked statically.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(QX318_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${QX318_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QX318_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${QX318_MINGW_PREFIX}-windres)
set(CMAKE_DLLTOOL ${QX318_MINGW_PREFIX}-dlltool)
set(CMAKE_OBJDUMP ${QX318_MINGW_PREFIX}-objdump)
set(CMAKE_NM ${QX318_MINGW_PREFIX}-nm)

set(CMAKE_FIND_ROOT_PATH /usr/${QX318_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")

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
