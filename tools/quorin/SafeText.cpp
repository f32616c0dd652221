#include "SafeText.h"

namespace quorin::cli {

std::string safeText(const std::string& text) {
    static const char DIGITS[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (unsigned char c : text) {
        if (c == '\\') {
            out += "\\\\";
        } else if (c >= 0x20 && c <= 0x7e) {
            out += static_cast<char>(c);
        } else {
            out += "\\x";
            out += DIGITS[c >> 4];
            out += DIGITS[c & 0x0f];
        }
    }
    return out;
}

}  // namespace quorin::cli
