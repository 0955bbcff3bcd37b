# One place for the flags every target of the project gets.
add_library(orv_warnings INTERFACE)
target_compile_options(orv_warnings INTERFACE -Wall -Wextra -Wpedantic -Wshadow)
if(ORV_WERROR)
    target_compile_options(orv_warnings INTERFACE -Werror)
endif()
if(ORV_SANITIZE)
    target_compile_options(orv_warnings INTERFACE
        -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
    target_link_options(orv_warnings INTERFACE -fsanitize=address,undefined)
endif()
if(ORV_FUZZ)
    # Every object is instrumented for libFuzzer's coverage; only the fuzz programs link its main.
    target_compile_options(orv_warnings INTERFACE
        -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
    target_link_options(orv_warnings INTERFACE -fsanitize=address,undefined)
endif()
