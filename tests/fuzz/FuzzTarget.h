// Entry points of the fuzz targets.
//
// Every target file defines its entry point with QUORIN_FUZZ_TARGET(name).
// In a fuzz build (QUORIN_LIBFUZZER defined) the file becomes one libFuzzer
// executable and the macro expands to LLVMFuzzerTestOneInput. In the normal
// build all target files go into one replay test, which registers each entry
// point under its name and runs it over the target's checked-in corpus, so
// every input that once broke a decoder keeps being decoded on every run.
//
// A target checks what it can about the decoder's result with FUZZ_CHECK; a
// failed check aborts, which libFuzzer reports as a crash with the input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace quorin_test {

using FuzzEntry = int (*)(const uint8_t* data, size_t size);

// Registration of one target for the replay test (normal build only).
struct FuzzTargetRegistration {
    FuzzTargetRegistration(const char* name, FuzzEntry entry);
};

[[noreturn]] inline void fuzzCheckFailed(const char* what, const char* file, int line) {
    std::fprintf(stderr, "%s:%d: fuzz check failed: %s\n", file, line, what);
    std::fflush(stderr);
    std::abort();
}

}  // namespace quorin_test

#define FUZZ_CHECK(cond)                                               \
    do {                                                               \
        if (!(cond)) {                                                 \
            ::quorin_test::fuzzCheckFailed(#cond, __FILE__, __LINE__); \
        }                                                              \
    } while (0)

#ifdef QUORIN_LIBFUZZER
#define QUORIN_FUZZ_TARGET(name) \
    extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
#else
#define QUORIN_FUZZ_TARGET(name)                                                      \
    static int quorinFuzz_##name(const uint8_t* data, size_t size);                   \
    static const ::quorin_test::FuzzTargetRegistration quorinFuzzRegistration_##name( \
        #name, &quorinFuzz_##name);                                                   \
    static int quorinFuzz_##name(const uint8_t* data, size_t size)
#endif
