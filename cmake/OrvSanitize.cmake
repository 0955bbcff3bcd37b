# Instrumentation for the sanitizer and fuzz builds. Directory-wide, so that it reaches every
# target of this project (and nothing of a project that embeds it), whatever flags a target
# links otherwise.
if(ORV_SANITIZE AND ORV_FUZZ)
    message(FATAL_ERROR "ORV_SANITIZE and ORV_FUZZ are two builds: choose one")
endif()
if(ORV_SANITIZE)
    add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
    add_link_options(-fsanitize=address,undefined)
endif()
if(ORV_FUZZ)
    # Every object is instrumented for libFuzzer's coverage; only the fuzz programs link its main.
    add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all
        -fno-omit-frame-pointer)
    add_link_options(-fsanitize=address,undefined)
endif()
