# What the MinGW-w64 cross builds share; the toolchain file that includes this
# sets QX318_MINGW_PREFIX (the target triplet) first. The -posix compilers
# carry the C++ threading the standard library needs; everything is linked
# statically so that the DLL imports nothing beyond the system DLLs and the
# converter library.
set(CMAKE_SYSTEM_NAME Windows)

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
