#include "virtualhid/HidText.h"

#include <cstdint>
#include <cstdlib>
#include <vector>

namespace quorin_sim {

std::string HidText::utf8(const std::wstring& text) {
    std::string out;
    for (wchar_t w : text) {
        auto c = static_cast<uint32_t>(w);
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (c >> 12)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            out.push_back('?');
        }
    }
    return out;
}

std::wstring HidText::hidraw(const std::string& utf8) {
    // hidapi stops at the first NUL, as C text does.
    const std::string text = utf8.substr(0, utf8.find('\0'));
    size_t length = std::mbstowcs(nullptr, text.c_str(), 0);
    if (length == static_cast<size_t>(-1)) {
        return std::wstring();
    }
    std::vector<wchar_t> out(length + 1, L'\0');
    std::mbstowcs(out.data(), text.c_str(), length + 1);
    return std::wstring(out.data(), length);
}

std::wstring HidText::libusb(const std::string& utf8) {
    std::wstring out;
    size_t i = 0;
    while (i < utf8.size()) {
        const auto lead = static_cast<unsigned char>(utf8[i]);
        size_t extra = lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC0 ? 1 : 0;
        uint32_t code = extra == 0 ? lead : lead & (0x3F >> extra);
        bool valid = lead < 0x80 || (extra > 0 && lead < 0xF8);
        for (size_t k = 1; valid && k <= extra; ++k) {
            if (i + k >= utf8.size()) {
                valid = false;
                break;
            }
            const auto next = static_cast<unsigned char>(utf8[i + k]);
            valid = (next & 0xC0) == 0x80;
            code = code << 6 | (next & 0x3F);
        }
        if (!valid) {
            out.push_back(static_cast<wchar_t>(lead));
            ++i;
            continue;
        }
        out.push_back(static_cast<wchar_t>(code));
        i += 1 + extra;
    }
    return out;
}

}  // namespace quorin_sim
