# Compiler options shared by every target of the project.
add_library(kelo_options INTERFACE)
target_compile_options(kelo_options INTERFACE -Wall -Wextra -Wpedantic -Wshadow
                       -Wnon-virtual-dtor -Wold-style-cast -Wcast-align -Wunused
                       -Woverloaded-virtual -Wformat=2)
if(KELO_WERROR)
    target_compile_options(kelo_options INTERFACE -Werror)
endif()
if(KELO_SANITIZE)
    target_compile_options(kelo_options INTERFACE -fsanitize=address,undefined
                           -fno-sanitize-recover=all -fno-omit-frame-pointer)
    target_link_options(kelo_options INTERFACE -fsanitize=address,undefined)
endif()
if(KELO_TSAN)
    target_compile_options(kelo_options INTERFACE -fsanitize=thread -fno-omit-frame-pointer)
    target_link_options(kelo_options INTERFACE -fsanitize=thread)
endif()
