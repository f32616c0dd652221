#include "transport/SerialOptions.h"

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

// atoi without its undefined behaviour on out-of-range text: the value is
// clamped to the int range.
int decimalValue(const std::string& text) {
    long value = std::strtol(text.c_str(), nullptr, 10);
    if (value > INT_MAX) {
        return INT_MAX;
    }
    if (value < INT_MIN) {
        return INT_MIN;
    }
    return static_cast<int>(value);
}

// "0X" followed by at least one character: the (at most two) characters after it.
bool hexByteOption(const std::string& value, std::string* digits) {
    if (value.size() < 3 || value.compare(0, 2, "0X") != 0) {
        return false;
    }
    *digits = value.substr(2, 2);
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
        baudRate = decimalValue(value);
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
        dataBits = decimalValue(value);
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
        crcMode = decimalValue(value);
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
