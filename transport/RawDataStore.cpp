#include "transport/RawDataStore.h"

namespace quorin {

std::string RawDataStore::binary2Hex(const unsigned char* buffer, unsigned int bufferLength) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    if (buffer == nullptr) {
        return out;
    }
    out.resize(static_cast<size_t>(bufferLength) * 2);
    for (unsigned int i = 0; i < bufferLength; ++i) {
        out[2 * i] = digits[buffer[i] >> 4];
        out[2 * i + 1] = digits[buffer[i] & 0x0F];
    }
    return out;
}

void RawDataStore::addBinary(const unsigned char* buffer, unsigned int bufferLength) {
    std::string hex = binary2Hex(buffer, bufferLength);
    std::lock_guard<std::mutex> guard(lock);
    while (HexData.size() > MAX_ENTRIES - 1) {
        HexData.erase(HexData.begin());
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
    HexData.clear();
}

}  // namespace quorin
