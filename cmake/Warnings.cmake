# The project's warnings for every target. They are errors only where asked
# (QX318_WARNINGS_AS_ERRORS, on in every preset and so in CI): a user's plain
# build with another compiler release, which may warn about new things, still
# builds. GNU-style flags only for GNU-style compilers, so that the build
# stays usable with MSVC.
option(QX318_WARNINGS_AS_ERRORS "Treat the project's compiler warnings as errors" OFF)

add_library(qx318_warnings INTERFACE)
if(MSVC)
  target_compile_options(qx318_warnings INTERFACE /W4 $<$<BOOL:${QX318_WARNINGS_AS_ERRORS}>:/WX>)
else()
  target_compile_options(qx318_warnings INTERFACE
    -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wno-sign-conversion
    $<$<BOOL:${QX318_WARNINGS_AS_ERRORS}>:-Werror>)
endif()
