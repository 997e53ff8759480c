# The hardening Debian builds its packages with (dpkg-buildflags with hardening=+all): checked
# buffer functions, stack protector, read-only relocations bound at start-up. Optimised builds
# only, since checked buffer functions need optimisation; the checked builds of
# cmake/Sanitizers.cmake go without, so that the sanitizers see the plain buffer functions.
option(TARVOLIN_HARDENING "Build optimised programs with Debian's hardening flags" ON)

if(TARVOLIN_HARDENING AND NOT KESTRIN_SANITIZE AND NOT KESTRIN_FUZZ)
    set(optimised "$<NOT:$<CONFIG:Debug>>")
    add_compile_options(
        "$<${optimised}:-U_FORTIFY_SOURCE;-D_FORTIFY_SOURCE=2>"
        "$<${optimised}:-fstack-protector-strong;-fstack-clash-protection>")
    add_link_options("$<${optimised}:-Wl,-z,relro;-Wl,-z,now>")
endif()
