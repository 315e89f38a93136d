option(SONOREL_TSAN "Build with ThreadSanitizer (instead of AddressSanitizer)" OFF)

if(SONOREL_SANITIZE AND SONOREL_TSAN)
    message(FATAL_ERROR "SONOREL_SANITIZE and SONOREL_TSAN cannot be combined")
endif()

if(SONOREL_SANITIZE)
    add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
    add_link_options(-fsanitize=address,undefined)
endif()

if(SONOREL_TSAN)
    add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
    add_link_options(-fsanitize=thread)
endif()
