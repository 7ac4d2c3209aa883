# Warnings are errors for every target of the project; GNU-style flags only
# for GNU-style compilers, so that the build stays usable with MSVC.
add_library(qx318_warnings INTERFACE)
if(MSVC)
  target_compile_options(qx318_warnings INTERFACE /W4 /WX)
else()
  target_compile_options(qx318_warnings INTERFACE
    -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wno-sign-conversion -Werror)
endif()
