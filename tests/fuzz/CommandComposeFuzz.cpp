// Command composition from arbitrary host text: the plain frame of the reader
// object and the extended-protocol packets, into a buffer of arbitrary size.
//
// Input: a selector byte, a two-byte capacity, the text (up to its first
// NUL). What comes out is parsed back: the bytes must be those of the text.
#include <cstring>
#include <memory>
#include <string>

#include "FuzzInput.h"
#include "FuzzTarget.h"
#include "common/stdafx.h"
#include "extended/Veyra.h"
#include "reader/Strivo.h"

using namespace quorin;
using quorin_test::FuzzInput;

namespace {

class LimitedVeyra : public Veyra {
public:
    void setLimit(unsigned int limit) { VEYRA_COMMAND_LENGTH_LIMITATION = limit; }
};

// The bytes of a hex text as the composers read it: pairs of digits, a
// trailing single digit ignored.
std::vector<unsigned char> pairsOf(const char* text) {
    const size_t n = std::strlen(text) / 2;
    std::vector<unsigned char> out(n + 1);
    int count = 0;
    ConvertASCIIHexToByteArray(text, out.data(), &count, static_cast<int>(n));
    out.resize(static_cast<size_t>(count));
    return out;
}

// A plain frame: [1] command byte, [2] data length, data from [3].
void checkPlainFrame(const unsigned char* buffer, int length, const char* text) {
    const std::vector<unsigned char> bytes = pairsOf(text);
    FUZZ_CHECK(!bytes.empty());
    FUZZ_CHECK(length == static_cast<int>(bytes.size()) + 2);
    FUZZ_CHECK(buffer[1] == bytes[0]);
    FUZZ_CHECK(buffer[2] == static_cast<unsigned char>(bytes.size() - 1));
    FUZZ_CHECK(std::memcmp(buffer + 3, bytes.data() + 1, bytes.size() - 1) == 0);
}

int be16(const unsigned char* p) {
    return (p[0] << 8) | p[1];
}

// Extended packets back to back: each header announces its chunk, offset
// and the total; the chunks in order rebuild the data after the colon.
void checkExtendedPackets(const unsigned char* buffer, int length, const char* dataText) {
    const std::vector<unsigned char> bytes = pairsOf(dataText);
    std::vector<unsigned char> rebuilt;
    int p = 0;
    while (p < length) {
        FUZZ_CHECK(p + Veyra::HEADER_SIZE <= length);
        const unsigned char* packet = buffer + p;
        FUZZ_CHECK(packet[0] == Veyra::REPORT_ID && packet[1] == Veyra::EXTENDED_COMMAND);
        const int k = packet[2] - 6;
        FUZZ_CHECK(k >= 0 && k <= Veyra::PACKET_SIZE - Veyra::HEADER_SIZE);
        FUZZ_CHECK(be16(packet + 3) == static_cast<int>(rebuilt.size()));
        FUZZ_CHECK(be16(packet + 7) == static_cast<int>(bytes.size() & 0xFFFF));
        FUZZ_CHECK(p + Veyra::HEADER_SIZE + k <= length);
        rebuilt.insert(rebuilt.end(), packet + Veyra::HEADER_SIZE, packet + Veyra::HEADER_SIZE + k);
        p += Veyra::HEADER_SIZE + k;
    }
    FUZZ_CHECK(rebuilt == bytes);
}

}  // namespace

QUORIN_FUZZ_TARGET(compose) {
    FuzzInput in(data, size);
    const int selector = in.u8();
    const int capacity = in.u16() % 40000;
    const std::string owned = in.restText();
    // Exactly as long as the C text, so a read past its end is seen.
    const size_t textLength = std::strlen(owned.c_str());
    std::unique_ptr<unsigned char[]> text(new unsigned char[textLength + 1]);
    std::memcpy(text.get(), owned.c_str(), textLength + 1);
    const char* ctext = reinterpret_cast<const char*>(text.get());
    std::unique_ptr<unsigned char[]> buffer(new unsigned char[capacity + 1]);
    int length = capacity;

    if (selector % 3 == 0) {
        Strivo reader;
        if (reader.composeCommand(text.get(), static_cast<int>(textLength), buffer.get(),
                                  &length)) {
            FUZZ_CHECK(length <= capacity);
            checkPlainFrame(buffer.get(), length, ctext);
        }
        return 0;
    }

    LimitedVeyra reader;
    if (selector % 3 == 2) {
        reader.setLimit(0);  // extended protocol off: every text is plain
    }
    // The length the caller passes may be shorter than the text.
    const int passed =
        (selector & 0x80) != 0 ? static_cast<int>(textLength) : static_cast<int>(textLength / 2);
    if (!reader.composeExtendedCommand(text.get(), passed, buffer.get(), &length)) {
        return 0;
    }
    FUZZ_CHECK(length <= capacity);
    // What the composer saw: the first `passed` characters.
    std::string seen(ctext, static_cast<size_t>(passed));
    const size_t colon = seen.find(':');
    if (colon == std::string::npos || selector % 3 == 2) {
        checkPlainFrame(buffer.get(), length, ctext);
    } else {
        checkExtendedPackets(buffer.get(), length, seen.c_str() + colon + 1);
    }
    return 0;
}
