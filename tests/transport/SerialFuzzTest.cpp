// Seeded random input for the framing filters, the run-length decoder and the
// serial option parser. Fixed seeds keep runs reproducible; the point is that
// nothing crashes, reads or writes out of bounds (the sanitizer builds run
// this), loops forever or breaks its output contract, and that well-formed
// frames mixed into noise still come out intact.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "PtyReader.h"
#include "common/stdafx.h"
#include "filters/FormatFilter.h"
#include "filters/FrameFIFO.h"
#include "filters/LegacyQuill.h"
#include "filters/RLE.h"
#include "filters/TidelinkFilter.h"
#include "filters/V5SLIP.h"
#include "transport/SerialOptions.h"

using namespace quorin;
using quorin_sim::PtyReader;
using Bytes = std::vector<unsigned char>;

namespace {

constexpr int ITERATIONS = 3000;

// Bytes biased towards the ones that framing cares about.
Bytes randomChunk(std::mt19937& rng, size_t maxLen) {
    static const unsigned char SPECIAL[] = {0xC0, 0xDB, 0xDC, 0xDD, 0x0D, 0x00, 0x01,
                                            0x02, 0x03, 0x04, 0x05, '0',  'A',  'F'};
    std::uniform_int_distribution<size_t> len(0, maxLen);
    std::uniform_int_distribution<int> pick(0, 3);
    std::uniform_int_distribution<int> byte(0, 255);
    std::uniform_int_distribution<size_t> special(0, sizeof(SPECIAL) - 1);
    Bytes out(len(rng));
    for (unsigned char& b : out) {
        b = pick(rng) == 0 ? SPECIAL[special(rng)] : static_cast<unsigned char>(byte(rng));
    }
    return out;
}

// Feeds one chunk and drains; checks each result against the contract.
void feedAndDrain(FormatFilter& filter, const Bytes& chunk) {
    std::string msg = BV2H(chunk);
    for (size_t calls = 0;; ++calls) {
        ASSERT_LT(calls, FrameFIFO::MAX_BYTES + 2) << "drain loop does not end";
        std::string name;
        quorin::CardText data;
        int id = 0;
        int result = filter.FilterInput(msg, name, id, data);
        msg.clear();
        if (result < 0) {
            ASSERT_TRUE(result == -1 || result == -2);
            return;
        }
        ASSERT_EQ(result, static_cast<int>(data.size() / 2));
        if (!data.empty()) {
            ASSERT_TRUE(id == 1 || id == 2 || id == 3 || id == 17) << id;
        }
    }
}

}  // namespace

TEST(SerialFuzzTest, FiltersSurviveRandomStreams) {
    FormatFilter none;
    LegacyQuill legacy;
    TidelinkFilter tidelink;
    V5SLIP slip;
    FormatFilter* filters[] = {&none, &legacy, &tidelink, &slip};
    std::mt19937 rng(20240611);
    for (FormatFilter* filter : filters) {
        for (int i = 0; i < ITERATIONS; ++i) {
            feedAndDrain(*filter, randomChunk(rng, 300));
            if (HasFatalFailure()) {
                return;
            }
            // Random commands (hex text, possibly odd or with stray characters).
            Bytes cmd = randomChunk(rng, 40);
            std::string hex = BV2H(cmd);
            if (i % 7 == 0) {
                hex += "G";
            }
            std::string name;
            quorin::CardText data;
            int id = 0;
            int out = filter->FilterOutput(hex, name, id, data);
            ASSERT_EQ(out, static_cast<int>(data.size() / 2));
        }
    }
}

TEST(SerialFuzzTest, FramesMixedWithNoiseComeOutIntact) {
    std::mt19937 rng(77);
    std::uniform_int_distribution<int> kind(0, 4);
    std::uniform_int_distribution<size_t> cut(1, 64);

    V5SLIP slip;
    std::string stream;  // everything written, as hex
    std::vector<std::pair<int, std::string>> expected;
    for (int i = 0; i < ITERATIONS; ++i) {
        Bytes data = randomChunk(rng, 60);
        if (data.empty()) {
            data.push_back(0xC0);
        }
        Bytes frame;
        switch (kind(rng)) {
            case 0:
                frame = PtyReader::slipFrame(0x04, data);
                expected.emplace_back(2, BV2H(data));
                break;
            case 1:
                frame = PtyReader::slipFrame(0x02, data);
                expected.emplace_back(3, BV2H(data));
                break;
            case 2:
                frame = PtyReader::slipFrame(0x00, data);
                expected.emplace_back(17, BV2H(data));
                break;
            case 3: {
                frame = PtyReader::slipFrame(0x03, PtyReader::rleEncode(data),
                                             static_cast<int>(data.size()));
                Bytes header = {0x03, 0x00, static_cast<unsigned char>(data.size())};
                expected.emplace_back(3, BV2H(header) + BV2H(data));
                break;
            }
            default: {
                // Noise between frames, without a frame marker.
                Bytes noise = randomChunk(rng, 20);
                for (unsigned char& b : noise) {
                    if (b == 0xC0) {
                        b = 0x3C;
                    }
                }
                frame = noise;
                break;
            }
        }
        stream += BV2H(frame);
    }

    // Deliver the stream in random pieces (cut on byte boundaries).
    std::vector<std::pair<int, std::string>> seen;
    size_t at = 0;
    while (at < stream.size()) {
        size_t n = std::min(cut(rng) * 2, stream.size() - at);
        std::string msg = stream.substr(at, n);
        at += n;
        for (;;) {
            std::string name;
            quorin::CardText data;
            int id = 0;
            int result = slip.FilterInput(msg, name, id, data);
            msg.clear();
            if (result < 0) {
                break;
            }
            if (!data.empty()) {
                seen.emplace_back(id, data);
            }
        }
    }
    ASSERT_EQ(seen.size(), expected.size());
    for (size_t i = 0; i < seen.size(); ++i) {
        ASSERT_EQ(seen[i], expected[i]) << "frame " << i;
    }
}

TEST(SerialFuzzTest, RunLengthDecoderStaysInsideItsBuffer) {
    std::mt19937 rng(4242);
    std::uniform_int_distribution<unsigned long> capacity(0, 64);
    for (int i = 0; i < ITERATIONS; ++i) {
        Bytes encoded = randomChunk(rng, 40);
        unsigned long cap = capacity(rng);
        // Exactly the capacity, so the sanitizer sees any write past it.
        std::vector<unsigned char> out(cap);
        unsigned long len = cap;
        int rc = DecodeRLEData(encoded.data(), static_cast<int>(encoded.size()), out.data(), &len);
        ASSERT_TRUE(rc == RLE_OK || rc == RLE_CUT_RUN || rc == RLE_OVERFLOW);
        ASSERT_LE(len, cap);

        // Round trip through the emulator's encoder.
        Bytes plain = randomChunk(rng, 600);
        RLE rle(4096);
        ASSERT_EQ(rle.decode(PtyReader::rleEncode(plain)), plain);
    }
}

TEST(SerialFuzzTest, OptionParserKeepsItsInvariants) {
    static const char* const TOKENS[] = {
        "PORT",       "BAUDRATE", "PARITY", "DATABITS", "STOPBITS", "STARTINGBYTE",
        "ENDINGBYTE", "CRCMODE",  "FORMAT", "=",        ",",        " ",
        "\t",         "0X",       "NONE",   "SLIP",     "LEGACY",   "1.5",
        "9600",       "E",        "x",      "/dev/tty", "-",        "99999999999999999999"};
    std::mt19937 rng(99);
    std::uniform_int_distribution<size_t> count(0, 24);
    std::uniform_int_distribution<size_t> token(0, sizeof(TOKENS) / sizeof(TOKENS[0]) - 1);
    std::uniform_int_distribution<int> raw(0, 20);
    std::uniform_int_distribution<int> byte(1, 255);
    for (int i = 0; i < ITERATIONS; ++i) {
        std::string text;
        size_t n = count(rng);
        for (size_t k = 0; k < n; ++k) {
            text +=
                raw(rng) == 0 ? std::string(1, static_cast<char>(byte(rng))) : TOKENS[token(rng)];
        }
        SerialOptions options;
        options.apply(text);
        ASSERT_GE(options.parity, 0);
        ASSERT_LE(options.parity, 4);
        ASSERT_TRUE(options.stopBits == 0 || options.stopBits == 1 || options.stopBits == 2);
        ASSERT_LE(options.startingByte.size(), 2u);
        ASSERT_LE(options.endingByte.size(), 2u);
        ASSERT_FALSE(options.endingByte.empty());
        ASSERT_NE(options.dataFormat, nullptr);
        ASSERT_EQ(options.portName, TRIM(options.portName));
    }
}
