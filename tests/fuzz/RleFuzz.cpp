// Run-length decoding of arbitrary data into buffers of arbitrary capacity,
// checked against a straightforward reading of the encoding, and a round
// trip through an encoder.
#include <cstring>
#include <memory>

#include "FuzzInput.h"
#include "FuzzTarget.h"
#include "common/stdafx.h"
#include "filters/RLE.h"

using namespace quorin;
using quorin_test::FuzzInput;

namespace {

// The encoding read directly: a pair of equal bytes is a run, the next byte
// its count; anything else stands for itself. Returns the decoder's result.
int referenceDecode(const std::vector<unsigned char>& in, size_t capacity,
                    std::vector<unsigned char>* out) {
    size_t p = 0;
    while (p < in.size()) {
        if (p + 1 < in.size() && in[p + 1] == in[p]) {
            if (p + 2 >= in.size()) {
                return RLE_CUT_RUN;
            }
            if (out->size() + in[p + 2] > capacity) {
                return RLE_OVERFLOW;
            }
            out->insert(out->end(), in[p + 2], in[p]);
            p += 3;
        } else {
            if (out->size() >= capacity) {
                return RLE_OVERFLOW;
            }
            out->push_back(in[p]);
            p += 1;
        }
    }
    return RLE_OK;
}

std::vector<unsigned char> encode(const std::vector<unsigned char>& plain) {
    std::vector<unsigned char> out;
    size_t i = 0;
    while (i < plain.size()) {
        size_t run = 1;
        while (i + run < plain.size() && plain[i + run] == plain[i] && run < 255) {
            ++run;
        }
        if (run == 1) {
            out.push_back(plain[i]);
        } else {
            out.insert(out.end(), {plain[i], plain[i], static_cast<unsigned char>(run)});
        }
        i += run;
    }
    return out;
}

}  // namespace

QUORIN_FUZZ_TARGET(filter_rle) {
    FuzzInput in(data, size);
    const size_t capacity = in.u16() % 6000;
    const std::vector<unsigned char> encoded = in.rest();

    std::unique_ptr<unsigned char[]> exactIn(new unsigned char[encoded.size() + 1]);
    if (!encoded.empty()) {
        std::memcpy(exactIn.get(), encoded.data(), encoded.size());
    }
    std::unique_ptr<unsigned char[]> exactOut(new unsigned char[capacity + 1]);
    unsigned long decoded = capacity;
    const int rc =
        DecodeRLEData(exactIn.get(), static_cast<int>(encoded.size()), exactOut.get(), &decoded);
    std::vector<unsigned char> expected;
    FUZZ_CHECK(rc == referenceDecode(encoded, capacity, &expected));
    FUZZ_CHECK(decoded <= capacity);
    if (rc == RLE_OK) {
        FUZZ_CHECK(decoded == expected.size());
        FUZZ_CHECK(decoded == 0 || std::memcmp(exactOut.get(), expected.data(), decoded) == 0);
    }

    RLE rle(capacity);
    const std::vector<unsigned char> viaClass = rle.decode(encoded);
    FUZZ_CHECK(rc == RLE_OK ? viaClass == expected : viaClass.empty());
    FUZZ_CHECK(rle.decode(BV2H(encoded)) == BV2H(viaClass));

    // Treated as plain data, the input survives encoding and decoding.
    RLE roomy(encoded.size() + 1);
    FUZZ_CHECK(roomy.decode(encode(encoded)) == encoded);
    return 0;
}
