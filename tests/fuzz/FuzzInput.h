// Reads a fuzz input as a small program: numbers, byte strings and a
// sequence of length-prefixed chunks. Every read is defined whatever is left:
// past the end numbers read as 0 and byte strings come out short or empty,
// so a target never has to reject an input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace quorin_test {

class FuzzInput {
public:
    FuzzInput(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}

    bool empty() const { return m_pos >= m_size; }
    size_t remaining() const { return m_size - m_pos; }

    uint8_t u8() { return m_pos < m_size ? m_data[m_pos++] : 0; }
    uint16_t u16() {
        uint16_t hi = u8();
        return static_cast<uint16_t>((hi << 8) | u8());
    }
    bool flag() { return (u8() & 1) != 0; }

    // Up to n bytes.
    std::vector<unsigned char> bytes(size_t n) {
        n = n < remaining() ? n : remaining();
        std::vector<unsigned char> out(m_data + m_pos, m_data + m_pos + n);
        m_pos += n;
        return out;
    }
    std::vector<unsigned char> rest() { return bytes(remaining()); }
    std::string text(size_t n) {
        std::vector<unsigned char> b = bytes(n);
        return std::string(b.begin(), b.end());
    }
    std::string restText() { return text(remaining()); }

    // One chunk of the sequence form: a two-byte big-endian length, then that
    // many bytes (fewer at the end of the input). The length is taken modulo
    // maxChunk + 1.
    std::vector<unsigned char> chunk(size_t maxChunk) {
        size_t n = u16() % (maxChunk + 1);
        return bytes(n);
    }

private:
    const uint8_t* m_data;
    size_t m_size;
    size_t m_pos = 0;
};

}  // namespace quorin_test
