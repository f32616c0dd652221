#include "Tlv.h"

namespace quorin::cli {

namespace {

constexpr int MAX_DEPTH = 8;

std::optional<Bytes> search(const uint8_t* p, size_t size, uint32_t wanted, int depth) {
    size_t i = 0;
    while (i < size) {
        // Padding between elements.
        if (p[i] == 0x00 || p[i] == 0xFF) {
            ++i;
            continue;
        }
        const bool constructed = (p[i] & 0x20) != 0;
        uint32_t tag = p[i++];
        if ((tag & 0x1F) == 0x1F) {
            do {
                if (i >= size || tag > 0xFFFFFF) {
                    return std::nullopt;
                }
                tag = (tag << 8) | p[i];
            } while ((p[i++] & 0x80) != 0);
        }
        if (i >= size) {
            return std::nullopt;
        }
        size_t length = p[i++];
        if (length & 0x80) {
            size_t count = length & 0x7F;
            if (count == 0 || count > 3 || i + count > size) {
                return std::nullopt;
            }
            length = 0;
            for (size_t k = 0; k < count; ++k) {
                length = (length << 8) | p[i++];
            }
        }
        if (length > size - i) {
            return std::nullopt;
        }
        if (tag == wanted) {
            return Bytes(p + i, p + i + length);
        }
        if (constructed && depth < MAX_DEPTH) {
            auto inner = search(p + i, length, wanted, depth + 1);
            if (inner) {
                return inner;
            }
        }
        i += length;
    }
    return std::nullopt;
}

}  // namespace

std::optional<Bytes> findTag(const Bytes& data, uint32_t tag) {
    return search(data.data(), data.size(), tag, 0);
}

}  // namespace quorin::cli
