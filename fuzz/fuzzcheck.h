#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstddef>

// What each fuzz target defines: one run of the code under test on one input. libFuzzer calls
// it with the inputs it makes up; replaymain.cpp with the files of a corpus.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size);

// A property every input must keep. A broken one aborts, which libFuzzer reports as a finding
// with the input that caused it; active in every build type, unlike assert().
#define FUZZ_EXPECT(condition) ((condition) ? void() : fuzzFailure(#condition, __FILE__, __LINE__))

[[noreturn]] inline void fuzzFailure(const char *condition, const char *file, int line)
{
    std::fprintf(stderr, "%s:%d: property broken: %s\n", file, line, condition);
    std::abort();
}
