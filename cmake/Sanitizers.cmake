# Checked builds. KESTRIN_SANITIZE builds everything with AddressSanitizer and
# UndefinedBehaviorSanitizer; undefined behaviour then ends the program like a memory fault, so
# a test that meets either fails. KESTRIN_FUZZ (clang only) adds the coverage instrumentation
# libFuzzer steers by and builds the fuzz targets of fuzz/.
option(KESTRIN_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
option(KESTRIN_FUZZ "Build the libFuzzer targets of fuzz/ (needs clang; implies KESTRIN_SANITIZE)" OFF)

if(KESTRIN_FUZZ)
    if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
        message(FATAL_ERROR "KESTRIN_FUZZ needs clang's libFuzzer: configure with -DCMAKE_CXX_COMPILER=clang++-14 "
                            "(Debian packages clang-14 and libclang-rt-14-dev); ${CMAKE_CXX_COMPILER_ID} was chosen")
    endif()
    set(KESTRIN_SANITIZE ON CACHE BOOL "Build with AddressSanitizer and UndefinedBehaviorSanitizer" FORCE)
    add_compile_options(-fsanitize=fuzzer-no-link)
endif()

if(KESTRIN_SANITIZE)
    set(kestrin_sanitizers -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
    add_compile_options(${kestrin_sanitizers})
    add_link_options(${kestrin_sanitizers})
endif()
