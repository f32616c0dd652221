#include "common/stdafx.h"

#include <cctype>
#include <chrono>
#include <codecvt>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <locale>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "common/Diagnostics.h"

namespace quorin {

namespace {

// One chunk of one or two characters, read like strtoul(chunk, nullptr, 16).
unsigned char readHexChunk(const char* chunk, size_t len) {
    char text[3] = {0, 0, 0};
    std::memcpy(text, chunk, len);
    return static_cast<unsigned char>(std::strtoul(text, nullptr, 16) & 0xFF);
}

constexpr char HEX_UPPER[] = "0123456789ABCDEF";

// Value of every character as a hex digit, -1 for a non-digit. A table
// rather than comparisons: the digits of real data mix 0-9 and A-F at
// random, which defeats branch prediction on the hot decode loops.
struct HexDigitTable {
    signed char value[256];
    constexpr HexDigitTable() : value() {
        for (int c = 0; c < 256; ++c) {
            value[c] = -1;
        }
        for (int c = '0'; c <= '9'; ++c) {
            value[c] = static_cast<signed char>(c - '0');
        }
        for (int c = 'A'; c <= 'F'; ++c) {
            value[c] = static_cast<signed char>(c - 'A' + 10);
            value[c - 'A' + 'a'] = static_cast<signed char>(c - 'A' + 10);
        }
    }
};
constexpr HexDigitTable HEX_DIGITS;

inline int hexDigit(char c) {
    return HEX_DIGITS.value[static_cast<unsigned char>(c)];
}

// The two upper-case digits of every byte value, "00" to "FF".
struct HexPairTable {
    char digits[512];
    constexpr HexPairTable() : digits() {
        for (int b = 0; b < 256; ++b) {
            digits[2 * b] = HEX_UPPER[b >> 4];
            digits[2 * b + 1] = HEX_UPPER[b & 0x0F];
        }
    }
};
constexpr HexPairTable HEX_PAIRS;

}  // namespace

namespace {
// H2BV's decoding of hex into out, which has room for (hex size + 1) / 2.
void decodeHex(std::string_view hex, unsigned char* out) {
    const char* text = hex.data();
    const size_t pairs = hex.size() / 2;
    // Chunks of hex digits only, by far the usual case, are read directly
    // (strtoul gives exactly their value); anything else (blanks, signs,
    // stray characters, a NUL inside the text, which ends the chunk as it
    // would end a C string) goes through strtoul itself.
    for (size_t j = 0; j < pairs; ++j) {
        const int hi = hexDigit(text[2 * j]);
        const int lo = hexDigit(text[2 * j + 1]);
        out[j] = (hi | lo) >= 0 ? static_cast<unsigned char>(16 * hi + lo)
                                : readHexChunk(text + 2 * j, 2);
    }
    if (hex.size() % 2 != 0) {
        const int last = hexDigit(text[2 * pairs]);
        out[pairs] =
            last >= 0 ? static_cast<unsigned char>(last) : readHexChunk(text + 2 * pairs, 1);
    }
}

// B2H's two digits per byte at text.
void encodeHex(const unsigned char* buffer, int bufferLen, char* text) {
    for (int i = 0; i < bufferLen; ++i) {
        std::memcpy(text + 2 * i, HEX_PAIRS.digits + 2 * buffer[i], 2);
    }
}
}  // namespace

std::vector<unsigned char> H2BV(const std::string& hex) {
    std::vector<unsigned char> out((hex.size() + 1) / 2);
    decodeHex(hex, out.data());
    return out;
}

void H2BV(std::string_view hex, CardBytes& out) {
    out.resize((hex.size() + 1) / 2);
    decodeHex(hex, out.data());
}

std::string BV2H(const std::vector<unsigned char>& binary) {
    return B2H(binary.data(), static_cast<int>(binary.size()));
}

void H2B(const std::string& hex, unsigned char* buffer, int* bufferLen) {
    std::vector<unsigned char> bytes = H2BV(hex);
    int count = static_cast<int>(bytes.size());
    if (buffer != nullptr && bufferLen != nullptr && *bufferLen >= count && count > 0) {
        std::memcpy(buffer, bytes.data(), bytes.size());
    }
    if (bufferLen != nullptr) {
        *bufferLen = count;
    }
}

std::string B2H(const unsigned char* buffer, int bufferLen) {
    if (buffer == nullptr || bufferLen <= 0) {
        return std::string();
    }
    try {
        std::string out;
        out.resize(static_cast<size_t>(bufferLen) * 2);
        encodeHex(buffer, bufferLen, &out[0]);
        return out;
    } catch (...) {
        return std::string();
    }
}

void B2H(const unsigned char* buffer, int bufferLen, CardText& out) {
    out.clear();
    if (buffer != nullptr && bufferLen > 0) {
        out.resize(static_cast<size_t>(bufferLen) * 2);
        encodeHex(buffer, bufferLen, &out[0]);
    }
}

std::string I2HEX(int i) {
    if (i <= 0) {
        return "00";
    }
    std::vector<unsigned char> bytes;
    unsigned int v = static_cast<unsigned int>(i);
    while (v != 0) {
        bytes.insert(bytes.begin(), static_cast<unsigned char>(v & 0xFF));
        v >>= 8;
    }
    return BV2H(bytes);
}

std::string UL2HEX(unsigned long i) {
    unsigned char bytes[8];
    for (int k = 7; k >= 0; --k) {
        bytes[k] = static_cast<unsigned char>(i & 0xFF);
        i >>= 8;
    }
    return B2H(bytes, 8);
}

std::string US2HEX4(unsigned short i) {
    char text[8];
    std::snprintf(text, sizeof(text), "%04X", static_cast<unsigned>(i));
    return text;
}

std::string UL2HEX8(unsigned long i) {
    char text[24];
    std::snprintf(text, sizeof(text), "%08lX", i);
    return text;
}

std::string DUP(const std::string& source, int multiply) {
    std::string out;
    if (multiply <= 0) {
        return out;
    }
    out.reserve(source.size() * static_cast<size_t>(multiply));
    for (int i = 0; i < multiply; ++i) {
        out += source;
    }
    return out;
}

std::string UPPER(std::string source) {
    for (char& c : source) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return source;
}

std::string LOWER(std::string source) {
    for (char& c : source) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return source;
}

bool ALL(const std::string& source, const std::function<bool(int)>& pred) {
    for (char c : source) {
        if (!pred(static_cast<unsigned char>(c))) {
            return false;
        }
    }
    return true;
}

std::vector<std::string> SPLIT(const std::string& source, const std::string& delimeter) {
    std::vector<std::string> out;
    if (delimeter.empty()) {
        out.push_back(source);
        return out;
    }
    size_t start = 0;
    while (start < source.size()) {
        size_t pos = source.find(delimeter, start);
        if (pos == std::string::npos) {
            out.push_back(source.substr(start));
            break;
        }
        out.push_back(source.substr(start, pos - start));
        start = pos + delimeter.size();
    }
    return out;
}

std::string TRIMLEFT(const std::string& source) {
    size_t pos = source.find_first_not_of(" \t");
    return pos == std::string::npos ? std::string() : source.substr(pos);
}

std::string TRIMRIGHT(const std::string& source) {
    size_t pos = source.find_last_not_of(" \t");
    return pos == std::string::npos ? std::string() : source.substr(0, pos + 1);
}

std::string TRIM(const std::string& source) {
    return TRIMRIGHT(TRIMLEFT(source));
}

std::string& REVERSE(std::string& s) {
    std::string::size_type n = s.size();
    for (std::string::size_type i = 0; i < n / 2; ++i) {
        std::swap(s[i], s[n - 1 - i]);
    }
    return s;
}

std::string trimString(const std::string& source) {
    const char* blanks = " \t\r\n";
    size_t first = source.find_first_not_of(blanks);
    if (first == std::string::npos) {
        return std::string();
    }
    size_t last = source.find_last_not_of(blanks);
    return source.substr(first, last - first + 1);
}

// std::wstring_convert is deprecated but still the standard library's only
// UTF-8 <-> UCS-4 converter; it throws std::range_error on bad input, which
// is the documented contract of these two helpers.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
std::wstring s2ws(const std::string& str) {
    std::wstring_convert<std::codecvt_utf8<wchar_t>> conv;
    return conv.from_bytes(str);
}

std::string ws2s(const std::wstring& wstr) {
    std::wstring_convert<std::codecvt_utf8<wchar_t>> conv;
    return conv.to_bytes(wstr);
}
#pragma GCC diagnostic pop

std::string ESCAPE(const std::string& input) {
    std::string out;
    out.reserve(input.size() + 8);
    for (char c : input) {
        switch (c) {
            case '\b':
                out += "\\b";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\f':
                out += "\\f";
                break;
            case '\r':
                out += "\\r";
                break;
            case '"':
                out += "\\\"";
                break;
            case '/':
                out += "\\/";
                break;
            case '\\':
                out += "\\\\";
                break;
            default:
                out += c;
                break;
        }
    }
    return out;
}

std::string H2ASCII(const std::string& hex) {
    std::vector<unsigned char> bytes = H2BV(hex);
    std::string out;
    for (unsigned char b : bytes) {
        if (b == 0) {
            break;
        }
        out += static_cast<char>(b);
    }
    return out;
}

std::string ASCII2H(const std::string& ascii) {
    return B2H(reinterpret_cast<const unsigned char*>(ascii.data()),
               static_cast<int>(ascii.size()));
}

void SLEEP(int millisecond) {
    if (millisecond > 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(millisecond));
    }
}

int char2int(char input) {
    return hexDigit(input);
}

int ConvertASCIIHexToByteArray(const char* src, unsigned char* target, int* plen, int targetSize) {
    if (plen != nullptr) {
        *plen = 0;
    }
    if (src == nullptr || target == nullptr || plen == nullptr) {
        return 0;
    }
    // The count lives in a local: stores through target may alias *plen for
    // the compiler, which would reload and store it for every byte.
    int count = 0;
    while (src[0] != '\0' && src[1] != '\0') {
        if (targetSize >= 0 && count >= targetSize) {
            break;
        }
        int value = 16 * hexDigit(src[0]) + hexDigit(src[1]);
        target[count] = static_cast<unsigned char>(value & 0xFF);
        ++count;
        src += 2;
    }
    *plen = count;
    return 0;
}

int ConvertASCIIHexToByteArray(const char* src, unsigned char* target, int* plen) {
    return ConvertASCIIHexToByteArray(src, target, plen, -1);
}

void ByteArrayToHexStr(const unsigned char* byteArray, long dwArrayLen, char* strOut,
                       long dwOutSize) {
    if (strOut == nullptr || dwOutSize <= 0) {
        return;
    }
    strOut[0] = '\0';
    if (byteArray == nullptr || dwArrayLen <= 0) {
        return;
    }
    long pos = 0;
    for (long i = 0; i < dwArrayLen; ++i) {
        if (pos + 3 > dwOutSize) {
            break;
        }
        strOut[pos] = HEX_UPPER[byteArray[i] >> 4];
        strOut[pos + 1] = HEX_UPPER[byteArray[i] & 0x0F];
        pos += 2;
    }
    strOut[pos] = '\0';
}

namespace {
char g_asciiBuffer[8192];
}

char* HexToASCII(const char* input) {
    std::memset(g_asciiBuffer, 0, sizeof(g_asciiBuffer));
    if (input == nullptr) {
        return g_asciiBuffer;
    }
    size_t out = 0;
    // Leave the last byte as the terminator: longer input is cut.
    while (input[0] != '\0' && input[1] != '\0' && out < sizeof(g_asciiBuffer) - 1) {
        int hi = hexDigit(input[0]);
        int lo = hexDigit(input[1]);
        g_asciiBuffer[out++] = static_cast<char>((16 * hi + lo) & 0xFF);
        input += 2;
    }
    return g_asciiBuffer;
}

bool IS_ALPHA_NUEx(char ch) {
    return (ch >= '0' && ch <= '9') || (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z');
}

// Both sinks write to the debug log (QUORIN_DEBUG), which is off unless the
// host turns it on; nothing in the library calls them.
void DebugOutput(const char* lpszFormat, ...) {
    va_list args;
    va_start(args, lpszFormat);
    debugLogV(lpszFormat, args);
    va_end(args);
}

void DebugOutputProtocol(const char* lpszFormat, ...) {
    va_list args;
    va_start(args, lpszFormat);
    debugLogV(lpszFormat, args);
    va_end(args);
}

}  // namespace quorin
