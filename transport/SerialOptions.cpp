#include "transport/SerialOptions.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "common/stdafx.h"
#include "filters/FormatFilter.h"

namespace quorin {

namespace {

const char SCHEME[] = "SERIAL://";
constexpr size_t SCHEME_LENGTH = sizeof(SCHEME) - 1;

// A decimal number, the whole text (a sign allowed), clamped to the int
// range; false for anything else ("115200abc", "x"), which no option takes.
bool decimalValue(const std::string& text, int* value) {
    if (text.empty()) {
        return false;
    }
    char* end = nullptr;
    // strtol saturates at the long range, which holds the int range.
    long parsed = std::strtol(text.c_str(), &end, 10);
    if (end == text.c_str() || *end != '\0') {
        return false;
    }
    *value = static_cast<int>(std::max<long>(INT_MIN, std::min<long>(INT_MAX, parsed)));
    return true;
}

// "0X" followed by one or two hex digits and nothing else: the digits.
bool hexByteOption(const std::string& value, std::string* digits) {
    if (value.size() < 3 || value.size() > 4 || value.compare(0, 2, "0X") != 0) {
        return false;
    }
    for (size_t i = 2; i < value.size(); ++i) {
        if (!std::isxdigit(static_cast<unsigned char>(value[i]))) {
            return false;
        }
    }
    *digits = value.substr(2);
    return true;
}

unsigned char byteValue(const std::string& digits) {
    std::vector<unsigned char> bytes = H2BV(digits);
    return bytes.empty() ? 0 : bytes[0];
}

}  // namespace

SerialOptions::SerialOptions() : dataFormat(FormatFilter::GetFilter("SLIP")) {}

bool SerialOptions::hasScheme(const char* pathScheme) {
    if (pathScheme == nullptr || std::strlen(pathScheme) < SCHEME_LENGTH) {
        return false;
    }
    return UPPER(std::string(pathScheme, SCHEME_LENGTH)) == SCHEME;
}

bool SerialOptions::speedCode(int rate, speed_t* code) {
    static const struct {
        int rate;
        speed_t code;
    } SPEEDS[] = {
        {2400, B2400},     {4800, B4800},     {9600, B9600},     {19200, B19200},
        {38400, B38400},   {57600, B57600},   {115200, B115200}, {230400, B230400},
        {460800, B460800}, {500000, B500000}, {576000, B576000}, {921600, B921600},
    };
    for (const auto& entry : SPEEDS) {
        if (entry.rate == rate) {
            if (code != nullptr) {
                *code = entry.code;
            }
            return true;
        }
    }
    return false;
}

tcflag_t SerialOptions::characterFormat() const {
    tcflag_t flags;
    switch (dataBits) {
        case 5:
            flags = CS5;
            break;
        case 6:
            flags = CS6;
            break;
        case 7:
            flags = CS7;
            break;
        default:
            // DATABITS is not validated: a size the line cannot take keeps 8.
            flags = CS8;
            break;
    }
    switch (parity) {
        case 1:
            flags |= PARENB | PARODD;
            break;
        case 2:
            flags |= PARENB;
            break;
        case 3:
            flags |= PARENB | CMSPAR | PARODD;
            break;
        case 4:
            flags |= PARENB | CMSPAR;
            break;
        default:
            break;
    }
    // One and a half stop bits are what CSTOPB gives with 5 data bits.
    if (stopBits != 0) {
        flags |= CSTOPB;
    }
    return flags;
}

bool SerialOptions::apply(const std::string& optionText) {
    for (const std::string& option : SPLIT(optionText, ",")) {
        std::vector<std::string> parts = SPLIT(option, "=");
        if (parts.size() != 2) {
            continue;
        }
        std::string key = UPPER(TRIM(parts[0]));
        std::string value = TRIM(parts[1]);
        if (key.empty() || value.empty()) {
            continue;
        }
        if (!applyOne(key, value)) {
            return false;
        }
    }
    return true;
}

bool SerialOptions::applyOne(const std::string& key, const std::string& rawValue) {
    if (key == "PORT") {
        portName = rawValue;
        return true;
    }
    std::string value = UPPER(rawValue);
    if (key == "BAUDRATE") {
        // Not a number is no speed of the list.
        return decimalValue(value, &baudRate);
    } else if (key == "PARITY") {
        static const char* const NAMES[] = {"NONE", "ODD", "EVEN", "MARK", "SPACE"};
        for (int i = 0; i < 5; ++i) {
            if (value == NAMES[i] || value == std::string(1, NAMES[i][0])) {
                parity = i;
                return true;
            }
        }
        return false;
    } else if (key == "DATABITS") {
        // 5, 6 or 7; any other value (a number or not) is 8.
        if (!decimalValue(value, &dataBits)) {
            dataBits = 8;
        }
    } else if (key == "STOPBITS") {
        if (value == "1") {
            stopBits = 0;
        } else if (value == "1.5") {
            stopBits = 1;
        } else if (value == "2") {
            stopBits = 2;
        } else {
            return false;
        }
    } else if (key == "STARTINGBYTE") {
        std::string digits;
        if (value == "NONE") {
            startingByte.clear();
            ustx = 0;
        } else if (hexByteOption(value, &digits)) {
            startingByte = digits;
            ustx = byteValue(digits);
        } else {
            return false;
        }
    } else if (key == "ENDINGBYTE") {
        std::string digits;
        if (!hexByteOption(value, &digits)) {
            return false;
        }
        endingByte = digits;
        uetx = byteValue(digits);
    } else if (key == "CRCMODE") {
        return decimalValue(value, &crcMode);
    } else if (key == "FORMAT") {
        try {
            dataFormat = FormatFilter::GetFilter(value);
        } catch (int) {
            return false;
        }
    }
    return true;
}

}  // namespace quorin
