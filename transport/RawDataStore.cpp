#include "transport/RawDataStore.h"

#include <cstring>

namespace quorin {

namespace {
// The two lower-case digits of every byte value, so a byte costs one copy.
struct HexPairs {
    char pairs[256][2] = {};
    constexpr HexPairs() {
        constexpr const char* digits = "0123456789abcdef";
        for (int b = 0; b < 256; ++b) {
            pairs[b][0] = digits[b >> 4];
            pairs[b][1] = digits[b & 0x0F];
        }
    }
};
constexpr HexPairs g_hexPairs;
}  // namespace

void RawDataStore::writeHex(const unsigned char* buffer, unsigned int bufferLength,
                            std::string& out) {
    out.resize(static_cast<size_t>(bufferLength) * 2);
    char* p = &out[0];
    for (unsigned int i = 0; i < bufferLength; ++i, p += 2) {
        std::memcpy(p, g_hexPairs.pairs[buffer[i]], 2);
    }
}

std::string RawDataStore::binary2Hex(const unsigned char* buffer, unsigned int bufferLength) {
    std::string out;
    if (buffer != nullptr) {
        writeHex(buffer, bufferLength, out);
    }
    return out;
}

void RawDataStore::addBinary(const unsigned char* buffer, unsigned int bufferLength) {
    std::lock_guard<std::mutex> guard(lock);
    while (HexData.size() > MAX_ENTRIES - 1) {
        HexData.erase(HexData.begin());
    }
    // Every report a reader sends passes through here (twice for card data),
    // so this is on the path from a swipe to the host's callback. A store is
    // mostly cleared after each report: the text takes over the storage of
    // the last one cleared, and no allocation is made.
    std::string hex = std::move(m_spare);
    m_spare.clear();
    hex.clear();
    if (buffer != nullptr) {
        writeHex(buffer, bufferLength, hex);
    }
    HexData.push_back(std::move(hex));
}

std::string RawDataStore::getAll() {
    std::lock_guard<std::mutex> guard(lock);
    std::string out;
    for (size_t i = 0; i < HexData.size(); ++i) {
        if (i != 0) {
            out += '\n';
        }
        out += HexData[i];
    }
    return out;
}

void RawDataStore::clear() {
    std::lock_guard<std::mutex> guard(lock);
    if (!HexData.empty() && HexData.back().capacity() > m_spare.capacity() &&
        HexData.back().capacity() <= MAX_SPARE) {
        m_spare = std::move(HexData.back());
    }
    HexData.clear();
}

}  // namespace quorin
