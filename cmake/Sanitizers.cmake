if(QX318_SANITIZE)
  if(MSVC)
    message(FATAL_ERROR "QX318_SANITIZE is for GCC and Clang builds")
  endif()
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

# ThreadSanitizer cannot share a build with AddressSanitizer.
if(QX318_SANITIZE_THREADS)
  if(MSVC OR QX318_SANITIZE)
    message(FATAL_ERROR "QX318_SANITIZE_THREADS is for GCC and Clang builds without QX318_SANITIZE")
  endif()
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
endif()
