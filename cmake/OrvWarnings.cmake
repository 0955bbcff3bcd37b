# One place for the warning flags every target of the project gets.
add_library(orv_warnings INTERFACE)
target_compile_options(orv_warnings INTERFACE -Wall -Wextra -Wpedantic -Wshadow)
if(ORV_WERROR)
    target_compile_options(orv_warnings INTERFACE -Werror)
endif()
