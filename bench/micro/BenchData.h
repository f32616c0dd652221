// Inputs shared by the micro-benchmarks: deterministic byte patterns, their
// hex text, SLIP frames and run-length encoded data.
//
// Throughput convention: SetBytesProcessed counts the bytes the input
// carries. For an input given as hex text that is half its characters, so
// the hex-text paths are never flattered by the doubled text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "PtyReader.h"

namespace quorin_bench {

using Bytes = std::vector<unsigned char>;

// Pseudo-random bytes, the same on every run.
inline Bytes patternBytes(size_t n, uint32_t seed = 0x2545F491u) {
    Bytes out(n);
    uint32_t x = seed;
    for (size_t i = 0; i < n; ++i) {
        x = x * 1664525u + 1013904223u;
        out[i] = static_cast<unsigned char>(x >> 24);
    }
    return out;
}

// Upper-case hex text of the bytes.
inline std::string hexOf(const Bytes& bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (unsigned char b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 0x0F];
    }
    return out;
}

constexpr unsigned char SLIP_END = 0xC0;
constexpr unsigned char SLIP_ESC = 0xDB;

// A SLIP frame as the reader sends it: END, type, 16-bit length field,
// payload with END and ESC escaped, END.
inline Bytes slipFrame(unsigned char type, size_t lengthField, const Bytes& data) {
    Bytes payload = {type, static_cast<unsigned char>(lengthField >> 8),
                     static_cast<unsigned char>(lengthField & 0xFF)};
    payload.insert(payload.end(), data.begin(), data.end());
    Bytes frame = {SLIP_END};
    for (unsigned char b : payload) {
        if (b == SLIP_END) {
            frame.push_back(SLIP_ESC);
            frame.push_back(0xDC);
        } else if (b == SLIP_ESC) {
            frame.push_back(SLIP_ESC);
            frame.push_back(0xDD);
        } else {
            frame.push_back(b);
        }
    }
    frame.push_back(SLIP_END);
    return frame;
}

// Plain data with runs, as card data and notifications carry them: stretches
// of varied bytes between runs of 2 to 33 equal bytes.
inline Bytes dataWithRuns(size_t n) {
    const Bytes noise = patternBytes(n, 0x9E3779B9u);
    Bytes out;
    out.reserve(n);
    size_t i = 0;
    while (out.size() < n) {
        const size_t literals = 4 + noise[i % n] % 12;
        for (size_t k = 0; k < literals && out.size() < n; ++k) {
            out.push_back(noise[(i + k) % n]);
        }
        const size_t run = 2 + noise[(i + 7) % n] % 32;
        const unsigned char value = noise[(i + 3) % n];
        for (size_t k = 0; k < run && out.size() < n; ++k) {
            out.push_back(value);
        }
        i += literals + 1;
    }
    return out;
}

// Run-length encoding as the serial reader emulator sends it: a maximal run
// of 2..255 equal bytes becomes b b N, a single byte stands for itself.
inline Bytes rleEncode(const Bytes& plain) {
    return quorin_sim::PtyReader::rleEncode(plain);
}

// Encoded data of exactly n bytes: the encoding of enough run-bearing data,
// cut after its last whole token and completed with single bytes.
inline Bytes rleEncodedOfSize(size_t n) {
    const Bytes plain = dataWithRuns(4 * n + 64);
    Bytes out;
    size_t i = 0;
    while (i < plain.size()) {
        size_t run = 1;
        while (i + run < plain.size() && plain[i + run] == plain[i] && run < 255) {
            ++run;
        }
        const size_t token = run == 1 ? 1 : 3;
        if (out.size() + token > n) {
            break;
        }
        if (run == 1) {
            out.push_back(plain[i]);
        } else {
            out.insert(out.end(), {plain[i], plain[i], static_cast<unsigned char>(run)});
        }
        i += run;
    }
    // Single bytes that never equal their successor.
    unsigned char fill = out.empty() || out.back() != 0x55 ? 0x55 : 0x56;
    while (out.size() < n) {
        out.push_back(fill);
        fill = fill == 0x55 ? 0xAA : 0x55;
    }
    return out;
}

}  // namespace quorin_bench
