# Cross build for 32-bit Windows with Debian's MinGW-w64 i686 toolchain.
# The -posix compilers carry the C++ threading the standard library needs;
# everything is linked statically so that the DLL imports nothing beyond the
# system DLLs and the converter library.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(QX318_MINGW_PREFIX i686-w64-mingw32)
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

# Test programs run under Wine; the prefix comes from WINEPREFIX.
find_program(QX318_WINE wine)
if(QX318_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${QX318_WINE})
endif()
