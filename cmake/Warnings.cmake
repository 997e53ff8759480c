# The compiler warnings every target of the suite is built with: each one links
# tarvolin_warnings privately, so the flags are set here once.
add_library(tarvolin_warnings INTERFACE)
target_compile_options(tarvolin_warnings INTERFACE -Wall -Wextra)
