#include "ExtendedTestSupport.h"

#include <cstdio>

namespace quorin_test {

std::atomic<int> PauseLog::calls{0};
std::atomic<int> PauseLog::totalMs{0};

namespace {
void putBe16(Bytes& b, int value) {
    b.push_back(static_cast<unsigned char>((value >> 8) & 0xFF));
    b.push_back(static_cast<unsigned char>(value & 0xFF));
}
}  // namespace

Bytes responsePacket(int offset, int k, int total, int resultCode, int seed) {
    Bytes p = {0x01, 0x0A, static_cast<unsigned char>(k + 6)};
    putBe16(p, offset);
    putBe16(p, resultCode);
    putBe16(p, total);
    for (int i = 0; i < k; ++i) {
        p.push_back(static_cast<unsigned char>((offset + i + seed) & 0xFF));
    }
    return p;
}

Bytes usbNotification(unsigned short id, int offset, int chunkByte, int total, const Bytes& chunk) {
    Bytes p = {0x02, 0x00, static_cast<unsigned char>(chunkByte)};
    putBe16(p, offset);
    putBe16(p, id);
    putBe16(p, total);
    p.insert(p.end(), chunk.begin(), chunk.end());
    return p;
}

Bytes wideNotification(unsigned char type, unsigned short id, int offset, int chunkLength,
                       int total, const Bytes& chunk) {
    Bytes p = {type};
    putBe16(p, chunkLength);
    putBe16(p, offset);
    putBe16(p, id);
    putBe16(p, total);
    p.insert(p.end(), chunk.begin(), chunk.end());
    return p;
}

Bytes sequence(int n, int first) {
    Bytes b;
    for (int i = 0; i < n; ++i) {
        b.push_back(static_cast<unsigned char>((first + i) & 0xFF));
    }
    return b;
}

Bytes fromHex(const std::string& hex) {
    Bytes b;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        b.push_back(static_cast<unsigned char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    }
    return b;
}

std::string toHex(const Bytes& bytes) {
    std::string s;
    char digits[3];
    for (unsigned char c : bytes) {
        std::snprintf(digits, sizeof(digits), "%02X", c);
        s += digits;
    }
    return s;
}

}  // namespace quorin_test
