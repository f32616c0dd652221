#include "Tlv.h"

#include "common/TlvElement.h"

namespace quorin::cli {

namespace {

constexpr int MAX_DEPTH = 8;
constexpr uint32_t CLEAR_CARD_DATA_TAGS[] = {0x5A, 0x56, 0x57, 0x9F6B, 0x5F20, 0x9F1F, 0x9F20};

using Element = quorin::TlvElement;

std::optional<Bytes> search(const uint8_t* p, size_t size, uint32_t wanted, int depth) {
    size_t i = 0;
    Element e;
    while (Element::next(p, size, &i, &e)) {
        if (e.tag == wanted) {
            return Bytes(p + e.valueAt, p + e.valueAt + e.length);
        }
        if (e.constructed && depth < MAX_DEPTH) {
            auto inner = search(p + e.valueAt, e.length, wanted, depth + 1);
            if (inner) {
                return inner;
            }
        }
    }
    return std::nullopt;
}

void appendHex(const uint8_t* p, size_t n, std::string* out) {
    static const char DIGITS[] = "0123456789ABCDEF";
    for (size_t k = 0; k < n; ++k) {
        *out += DIGITS[p[k] >> 4];
        *out += DIGITS[p[k] & 0x0f];
    }
}

void withhold(const uint8_t* p, size_t size, int depth, std::vector<WithheldValue>* withheld,
              std::string* out) {
    size_t i = 0;
    size_t written = 0;  // bytes of p already in out
    Element e;
    while (Element::next(p, size, &i, &e)) {
        if (isClearCardDataTag(e.tag)) {
            appendHex(p + written, e.valueAt - written, out);
            out->append(2 * e.length, '*');
            withheld->push_back({e.tag, e.length});
        } else if (e.constructed) {
            appendHex(p + written, e.valueAt - written, out);
            if (depth < MAX_DEPTH) {
                withhold(p + e.valueAt, e.length, depth + 1, withheld, out);
            } else {
                // Deeper than the search goes: what it holds is not looked
                // at, so none of it is shown.
                out->append(2 * e.length, '*');
                withheld->push_back({e.tag, e.length});
            }
        } else {
            appendHex(p + written, i - written, out);
        }
        written = i;
    }
    if (i < size) {
        // Stopped at an element that does not parse: none of the rest is shown.
        appendHex(p + written, i - written, out);
        out->append(2 * (size - i), '*');
        withheld->push_back({UNPARSED_REST, size - i});
    } else {
        appendHex(p + written, size - written, out);  // padding only
    }
}

}  // namespace

std::optional<Bytes> findTag(const Bytes& data, uint32_t tag) {
    return search(data.data(), data.size(), tag, 0);
}

bool isClearCardDataTag(uint32_t tag) {
    for (uint32_t t : CLEAR_CARD_DATA_TAGS) {
        if (t == tag) {
            return true;
        }
    }
    return false;
}

std::string withholdCardData(const Bytes& data, std::vector<WithheldValue>* withheld) {
    std::string out;
    out.reserve(2 * data.size());
    withhold(data.data(), data.size(), 0, withheld, &out);
    return out;
}

std::string tagName(uint32_t tag) {
    size_t bytes = tag > 0xFFFFFF ? 4 : tag > 0xFFFF ? 3 : tag > 0xFF ? 2 : 1;
    uint8_t b[4];
    for (size_t k = 0; k < bytes; ++k) {
        b[k] = static_cast<uint8_t>(tag >> (8 * (bytes - 1 - k)));
    }
    std::string text;
    appendHex(b, bytes, &text);
    return text;
}

bool isTlv(const Bytes& data) {
    size_t i = 0;
    Element e;
    int elements = 0;
    while (Element::next(data.data(), data.size(), &i, &e)) {
        ++elements;
    }
    return elements > 0 && i == data.size();
}

}  // namespace quorin::cli
