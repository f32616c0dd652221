// The line options of a "SERIAL://" path and their parser.
//
// Options follow the scheme as KEY=VALUE separated by ",". Keys and values
// are trimmed of spaces and tabs and read in upper case, except the PORT
// value, which keeps its letter case. An option without "=", with more than
// one "=", with an empty key or value, or with an unknown key is ignored;
// later options win over earlier ones of the same key. An invalid PARITY,
// STOPBITS, STARTINGBYTE, ENDINGBYTE or FORMAT value fails the whole path.
//
// PORT, BAUDRATE, the character format (PARITY, DATABITS, STOPBITS; 8N1 when
// not given) and FORMAT shape the link; the start and end bytes and the CRC
// mode are validated and kept, and framing is entirely the filter's.
#pragma once

#include <termios.h>

#include <string>

namespace quorin {

class FormatFilter;

class SerialOptions {
public:
    SerialOptions();

    // True when pathScheme starts with "SERIAL://" in any letter case.
    static bool hasScheme(const char* pathScheme);
    // The termios speed code of a supported baud rate; false for any other rate.
    static bool speedCode(int rate, speed_t* code);

    // The termios control flags of the character format: size, parity and
    // stop bits.
    tcflag_t characterFormat() const;

    // Applies the options written after the scheme, in order. False when a
    // value is outside its accepted set; the fields then hold what was applied
    // so far.
    bool apply(const std::string& optionText);

    std::string portName;
    int baudRate = 115200;
    int parity = 0;  // 0 none, 1 odd, 2 even, 3 mark, 4 space
    int dataBits = 8;
    int stopBits = 0;               // 0 one, 1 one and a half, 2 two
    std::string startingByte;       // two hex digits, or empty for none
    std::string endingByte = "0D";  // two hex digits
    unsigned char ustx = 0;         // value of startingByte
    unsigned char uetx = 13;        // value of endingByte
    int crcMode = 0;
    FormatFilter* dataFormat;  // borrowed from the filter registry

private:
    bool applyOne(const std::string& key, const std::string& value);
};

}  // namespace quorin
