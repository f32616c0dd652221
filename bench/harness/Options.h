// Run options of the timing harness, shared by the scenarios.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <set>

namespace quorin_bench {

struct Options {
    bool quick = false;
    bool json = false;
    unsigned int seed = 20240601;
    std::set<int> scenarios;  // empty: all

    bool wants(int number) const { return scenarios.empty() || scenarios.count(number) != 0; }
    // Picks the full or the quick figure.
    int pick(int full, int quickCount) const { return quick ? quickCount : full; }
};

// Progress lines go to standard error, away from the results.
inline void progress(const char* format, ...) __attribute__((format(printf, 1, 2)));
inline void progress(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::fputs("quorin_timing: ", stderr);
    std::vfprintf(stderr, format, args);
    std::fputc('\n', stderr);
    va_end(args);
}

}  // namespace quorin_bench
