// The hex readers and writers: H2BV, H2B, ConvertASCIIHexToByteArray (bounded
// and unbounded), HexToASCII, H2ASCII and ByteArrayToHexStr on arbitrary text.
#include <cctype>
#include <cstring>
#include <memory>
#include <string>

#include "FuzzInput.h"
#include "FuzzTarget.h"
#include "common/stdafx.h"

using namespace quorin;
using quorin_test::FuzzInput;

QUORIN_FUZZ_TARGET(hex) {
    FuzzInput in(data, size);
    const int capacity = in.u8();
    const std::string text = in.restText();

    // Two characters per byte, a final single character a byte of its own.
    const std::vector<unsigned char> bytes = H2BV(text);
    FUZZ_CHECK(bytes.size() == (text.size() + 1) / 2);
    const std::string back = BV2H(bytes);
    FUZZ_CHECK(back.size() == 2 * bytes.size());

    // H2B copies only when the capacity holds the count.
    std::unique_ptr<unsigned char[]> small(new unsigned char[capacity + 1]);
    int n = capacity;
    H2B(text, small.get(), &n);
    FUZZ_CHECK(n == static_cast<int>(bytes.size()));
    if (n <= capacity && n > 0) {
        FUZZ_CHECK(std::memcmp(small.get(), bytes.data(), static_cast<size_t>(n)) == 0);
    }

    // The C-text functions see the text up to its first NUL.
    const char* c = text.c_str();
    const size_t clen = std::strlen(c);
    std::unique_ptr<unsigned char[]> exact(new unsigned char[clen / 2 + 1]);
    int count = -1;
    FUZZ_CHECK(ConvertASCIIHexToByteArray(c, exact.get(), &count) == 0);
    FUZZ_CHECK(count == static_cast<int>(clen / 2));
    std::unique_ptr<unsigned char[]> bounded(new unsigned char[capacity + 1]);
    int boundedCount = -1;
    ConvertASCIIHexToByteArray(c, bounded.get(), &boundedCount, capacity);
    FUZZ_CHECK(boundedCount >= 0 && boundedCount <= capacity && boundedCount <= count);

    const char* ascii = HexToASCII(c);
    FUZZ_CHECK(ascii != nullptr && std::strlen(ascii) <= 8191);
    FUZZ_CHECK(std::strlen(ascii) <= clen / 2);
    FUZZ_CHECK(H2ASCII(text).size() <= bytes.size());

    std::unique_ptr<char[]> out(new char[capacity + 1]);
    ByteArrayToHexStr(bytes.data(), static_cast<long>(bytes.size()), out.get(), capacity);
    if (capacity > 0) {
        const size_t written = std::strlen(out.get());
        FUZZ_CHECK(written < static_cast<size_t>(capacity) && written % 2 == 0);
        FUZZ_CHECK(back.compare(0, written, out.get()) == 0);
    }
    return 0;
}
