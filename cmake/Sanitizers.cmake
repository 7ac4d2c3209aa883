if(QX318_SANITIZE)
  if(MSVC)
    message(FATAL_ERROR "QX318_SANITIZE is for GCC and Clang builds")
  endif()
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()
