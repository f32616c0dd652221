// The pieces of a recording's lines (docs/RECORDING.md): time stamps, byte
// data and quoted texts.
#pragma once

#include <cstddef>
#include <string>

#include "transport/RecordedEvent.h"

namespace quorin {

class RecordingFormat {
public:
    static constexpr int VERSION = 1;

    // CLOCK_MONOTONIC in nanoseconds.
    static long long now();
    // Seconds with six decimals ("12.004518").
    static std::string seconds(long long nanos);
    // Upper-case hex, trailing zero bytes written as "+N" ("0148+59" is
    // 01 48 and 59 zero bytes); "-" for no bytes.
    static void data(const unsigned char* bytes, size_t length, RecordedText* out);
    // A text in double quotes: '"' and '\' escaped with '\', bytes outside
    // printable ASCII as \xHH.
    static std::string quoted(const std::string& text);
};

}  // namespace quorin
