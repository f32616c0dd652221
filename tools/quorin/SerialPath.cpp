#include "SerialPath.h"

#include <vector>

#include "HexText.h"

namespace quorin::cli {

namespace {

const char* const KEYS =
    "PORT, BAUDRATE, PARITY, DATABITS, STOPBITS, FORMAT, STARTINGBYTE, "
    "ENDINGBYTE, CRCMODE";

std::string trimmed(const std::string& text) {
    size_t first = text.find_first_not_of(" \t");
    size_t last = text.find_last_not_of(" \t");
    return first == std::string::npos ? std::string() : text.substr(first, last - first + 1);
}

bool oneOf(const std::string& value, const std::vector<std::string>& accepted) {
    for (const std::string& a : accepted) {
        if (value == a) {
            return true;
        }
    }
    return false;
}

bool isByte(const std::string& value) {
    return value.size() == 4 && value.compare(0, 2, "0X") == 0 && isHexDigits(value.substr(2));
}

// "" when the library takes value for key (both upper case); else what it takes.
std::string valueProblem(const std::string& key, const std::string& value) {
    if (key == "PORT") {
        return std::string();
    }
    if (key == "BAUDRATE") {
        return oneOf(value, {"2400", "4800", "9600", "19200", "38400", "57600", "115200", "230400",
                             "460800", "500000", "576000", "921600"})
                   ? std::string()
                   : "one of 2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400, 460800, "
                     "500000, 576000, 921600";
    }
    if (key == "PARITY") {
        return oneOf(value, {"NONE", "ODD", "EVEN", "MARK", "SPACE", "N", "O", "E", "M", "S"})
                   ? std::string()
                   : "NONE, ODD, EVEN, MARK or SPACE";
    }
    if (key == "DATABITS") {
        return oneOf(value, {"5", "6", "7", "8"}) ? std::string() : "5, 6, 7 or 8";
    }
    if (key == "STOPBITS") {
        return oneOf(value, {"1", "1.5", "2"}) ? std::string() : "1, 1.5 or 2";
    }
    if (key == "FORMAT") {
        return oneOf(value, {"SLIP", "LEGACY", "TIDELINK", "NONE"})
                   ? std::string()
                   : "SLIP, LEGACY, TIDELINK or NONE";
    }
    if (key == "STARTINGBYTE") {
        return value == "NONE" || isByte(value) ? std::string() : "0xHH or NONE";
    }
    if (key == "ENDINGBYTE") {
        return isByte(value) ? std::string() : "0xHH";
    }
    if (key == "CRCMODE") {
        return !value.empty() && value.find_first_not_of("0123456789") == std::string::npos
                   ? std::string()
                   : "a number";
    }
    return "?";
}

}  // namespace

std::string serialPathProblem(const std::string& path) {
    const std::string scheme = "SERIAL://";
    if (upper(path.substr(0, scheme.size())) != scheme) {
        return "'" + path + "' is not a SERIAL:// path";
    }
    std::vector<std::string> options;
    for (size_t start = scheme.size(), comma; start <= path.size(); start = comma + 1) {
        comma = path.find(',', start);
        comma = comma == std::string::npos ? path.size() : comma;
        if (!trimmed(path.substr(start, comma - start)).empty()) {
            options.push_back(path.substr(start, comma - start));  // empty ones are skipped
        }
    }
    bool port = false;
    for (const std::string& option : options) {
        size_t eq = option.find('=');
        if (eq == std::string::npos || option.find('=', eq + 1) != std::string::npos) {
            return "serial path option '" + option + "' is not KEY=VALUE (keys: " + KEYS + ")";
        }
        std::string key = upper(trimmed(option.substr(0, eq)));
        std::string value = trimmed(option.substr(eq + 1));
        std::string problem = valueProblem(key, upper(value));
        if (problem == "?") {
            return "unknown serial path option '" + trimmed(option.substr(0, eq)) +
                   "' (keys: " + KEYS + ")";
        }
        if (value.empty()) {
            return "serial path option " + key + " has no value";
        }
        if (!problem.empty()) {
            return "serial path option " + key + "=" + value + ": must be " + problem;
        }
        port = port || key == "PORT";
    }
    return port ? std::string() : "the serial path names no PORT (SERIAL://PORT=/dev/ttyUSB0,...)";
}

}  // namespace quorin::cli
