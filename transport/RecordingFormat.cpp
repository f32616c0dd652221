#include "transport/RecordingFormat.h"

#include <time.h>

#include <cstdio>

namespace quorin {

long long RecordingFormat::now() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<long long>(t.tv_sec) * 1000000000LL + t.tv_nsec;
}

std::string RecordingFormat::seconds(long long nanos) {
    char text[32];
    if (nanos < 0) {
        nanos = 0;
    }
    std::snprintf(text, sizeof(text), "%lld.%06lld", nanos / 1000000000LL,
                  (nanos % 1000000000LL) / 1000LL);
    return text;
}

void RecordingFormat::data(const unsigned char* bytes, size_t length, RecordedText* out) {
    static const char DIGITS[] = "0123456789ABCDEF";
    if (length == 0) {
        *out += '-';
        return;
    }
    size_t used = length;
    while (used > 0 && bytes[used - 1] == 0) {
        --used;
    }
    for (size_t i = 0; i < used; ++i) {
        *out += DIGITS[bytes[i] >> 4];
        *out += DIGITS[bytes[i] & 0x0F];
    }
    if (used < length) {
        *out += '+';
        *out += std::to_string(length - used).c_str();
    }
}

std::string RecordingFormat::quoted(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c > 0x7E) {
            char hex[5];
            std::snprintf(hex, sizeof(hex), "\\x%02X", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

}  // namespace quorin
