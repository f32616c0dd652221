#include "HexText.h"

#include <cctype>

namespace quorin::cli {

namespace {

int digitValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

}  // namespace

bool isHexDigits(const std::string& text) {
    for (char c : text) {
        if (digitValue(c) < 0) {
            return false;
        }
    }
    return true;
}

bool isCommandText(const std::string& text) {
    size_t colon = text.find(':');
    if (colon == std::string::npos) {
        return text.size() >= 2 && text.size() % 2 == 0 && isHexDigits(text);
    }
    std::string id = text.substr(0, colon);
    std::string data = text.substr(colon + 1);
    return id.size() == 4 && isHexDigits(id) && data.size() % 2 == 0 && isHexDigits(data);
}

bool hexToBytes(const std::string& text, std::vector<uint8_t>* bytes) {
    if (text.size() % 2 != 0 || !isHexDigits(text)) {
        return false;
    }
    bytes->clear();
    for (size_t i = 0; i < text.size(); i += 2) {
        bytes->push_back(static_cast<uint8_t>(digitValue(text[i]) * 16 + digitValue(text[i + 1])));
    }
    return true;
}

std::vector<uint8_t> hexBytes(const std::string& text) {
    std::vector<uint8_t> bytes;
    if (!hexToBytes(text, &bytes)) {
        bytes.clear();
    }
    return bytes;
}

std::string bytesToHex(const std::vector<uint8_t>& bytes) {
    static const char DIGITS[] = "0123456789ABCDEF";
    std::string text;
    for (uint8_t b : bytes) {
        text += DIGITS[b >> 4];
        text += DIGITS[b & 0x0f];
    }
    return text;
}

std::string printableText(const std::vector<uint8_t>& bytes) {
    size_t end = bytes.size();
    while (end > 0 && (bytes[end - 1] == 0 || bytes[end - 1] == ' ')) {
        --end;
    }
    std::string text;
    for (size_t i = 0; i < end; ++i) {
        if (bytes[i] < 0x20 || bytes[i] > 0x7e) {
            return std::string();
        }
        text += static_cast<char>(bytes[i]);
    }
    return text;
}

std::string upper(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return text;
}

}  // namespace quorin::cli
