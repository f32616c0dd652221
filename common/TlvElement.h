#pragma once

// One BER-TLV element of an EMV notification, read in place. Header-only so
// that the library and its tools (which see only the library's C API) read
// TLV data by the same rules.

#include <cstddef>
#include <cstdint>

namespace quorin {

struct TlvElement {
    uint32_t tag = 0;
    bool constructed = false;
    size_t valueAt = 0;  // offset of the value
    size_t length = 0;

    // Reads the element at p[*i]: false when none is well-formed within
    // size. Padding bytes (00, FF) before it are skipped; *i moves past the
    // element. Returns false with *i == size when only padding was left.
    // Tags of up to four bytes and lengths of up to three bytes are read;
    // anything longer, an indefinite length, or a value that runs past size
    // is not well-formed.
    static bool next(const uint8_t* p, size_t size, size_t* i, TlvElement* e) {
        while (*i < size && (p[*i] == 0x00 || p[*i] == 0xFF)) {
            ++*i;
        }
        if (*i >= size) {
            return false;
        }
        size_t at = *i;
        e->constructed = (p[at] & 0x20) != 0;
        e->tag = p[at++];
        if ((e->tag & 0x1F) == 0x1F) {
            do {
                if (at >= size || e->tag > 0xFFFFFF) {
                    return false;
                }
                e->tag = (e->tag << 8) | p[at];
            } while ((p[at++] & 0x80) != 0);
        }
        if (at >= size) {
            return false;
        }
        size_t length = p[at++];
        if (length & 0x80) {
            const size_t count = length & 0x7F;
            if (count == 0 || count > 3 || at + count > size) {
                return false;
            }
            length = 0;
            for (size_t k = 0; k < count; ++k) {
                length = (length << 8) | p[at++];
            }
        }
        if (length > size - at) {
            return false;
        }
        e->valueAt = at;
        e->length = length;
        *i = at + length;
        return true;
    }
};

}  // namespace quorin
