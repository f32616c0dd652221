// quorin info: what a reader says about itself.
#include <cstdlib>

#include "ArgParser.h"
#include "CliError.h"
#include "Commands.h"
#include "HexText.h"
#include "HidSurvey.h"
#include "JsonWriter.h"
#include "Output.h"
#include "Quorin.h"
#include "ReaderHandle.h"
#include "ReaderModels.h"
#include "SafeText.h"

namespace quorin::cli {

namespace {

// The queries use the reader's own commands, the same ones the library's
// first-generation GetDeviceSerial, GetFirmware, GetDevicePartNumber and
// GetBatteryLevel send, addressed to this reader's handle.
constexpr const char* CMD_SERIAL = "0003";
constexpr const char* CMD_FIRMWARE = "0000";
constexpr const char* CMD_BATTERY = "45";
constexpr const char* CMD_BATTERY_EXTENDED = "4601000005";
constexpr const char* BATTERY_EXTENDED_PREFIX = "010100";
constexpr size_t PART_NUMBER_DIGITS = 16;

constexpr long DEFAULT_TIMEOUT_MS = 10000;
constexpr long MAX_TIMEOUT_MS = 600000;

struct Info {
    std::string serialNumber;
    std::string firmwareHex;
    std::string firmwareText;
    std::string partNumber;
    long batteryLevel = -1;  // -1: the reader does not say
    int answered = 0;
    Reply lastFailure;
    bool stopped = false;  // a query timed out: no more were sent
};

std::string asText(const std::string& hex) {
    std::vector<uint8_t> bytes;
    return hexToBytes(hex, &bytes) ? printableText(bytes) : std::string();
}

// The bytes of a text answer (a serial number), trailing NULs and blanks
// dropped; escaped when printed, so a serial number with control bytes
// shows them as \xHH and is never mistaken for hex digits.
std::string asBytes(const std::string& hex) {
    std::vector<uint8_t> bytes;
    if (!hexToBytes(hex, &bytes)) {
        return std::string();
    }
    while (!bytes.empty() && (bytes.back() == 0 || bytes.back() == ' ')) {
        bytes.pop_back();
    }
    return std::string(bytes.begin(), bytes.end());
}

// Result codes after which no further query is sent: the reader did not
// answer within the time-out (each further query would wait as long).
bool endsQueries(const Reply& reply) {
    return !reply.answered() && reply.result == 1;
}

// Throws CliError(EXIT_DISCONNECTED) when the reader goes away meanwhile:
// what it answered before is not printed as if it were all it has.
Info query(const ReaderHandle& reader) {
    Info info;
    // Sends one query; true when it was answered with success.
    auto ask = [&](const char* command, std::string* answer) {
        if (info.stopped) {
            return false;
        }
        Reply reply = reader.command(command);
        *answer = reply.data;
        if (reply.ok()) {
            ++info.answered;
            return true;
        }
        info.lastFailure = reply;
        info.stopped = endsQueries(reply);
        return false;
    };

    std::string serial;
    if (ask(CMD_SERIAL, &serial)) {
        info.serialNumber = asBytes(serial);
    }
    std::string firmware;
    if (ask(CMD_FIRMWARE, &firmware)) {
        info.firmwareHex = firmware;
        info.firmwareText = asText(firmware);
        if (firmware.size() >= PART_NUMBER_DIGITS) {
            info.partNumber = firmware.substr(0, PART_NUMBER_DIGITS);
        }
    }
    std::string battery;
    std::string extended;
    const std::string prefix = BATTERY_EXTENDED_PREFIX;
    if (ask(CMD_BATTERY, &battery) && !battery.empty() && isHexDigits(battery)) {
        info.batteryLevel = std::strtol(battery.c_str(), nullptr, 16);
    } else if (ask(CMD_BATTERY_EXTENDED, &extended) && extended.size() > prefix.size() &&
               extended.compare(0, prefix.size(), prefix) == 0 &&
               isHexDigits(extended.substr(prefix.size()))) {
        info.batteryLevel = std::strtol(extended.c_str() + prefix.size(), nullptr, 16);
    }
    return info;
}

}  // namespace

int runInfo(const Args& args) {
    ArgParser parser("quorin info [--device PATH] [--timeout MS] [--json]",
                     "Opens a reader and prints its serial number, firmware, part number, USB\n"
                     "product ID and model, battery level and whether it runs EMV transactions.\n"
                     "The queries stop at the first one the reader does not answer in time;\n"
                     "what was answered until then is printed.");
    parser.option("device", "PATH",
                  "The reader to open: a path from `quorin list` or a "
                  "SERIAL://PORT=... path (default: the first attached reader).");
    parser.option("timeout", "MS",
                  "How long a serial reader's answer to each query is awaited "
                  "(default 10000).");
    parser.flag("json", "Print one JSON object instead of text.");
    parser.parse(args);
    if (parser.helpRequested()) {
        Output::instance().write(parser.helpText());
        return EXIT_OK;
    }
    long timeout = parser.number("timeout", DEFAULT_TIMEOUT_MS, 1, MAX_TIMEOUT_MS);

    ReaderHandle reader(parser.value("device"));
    SetCommandTimeout(static_cast<int>(timeout));
    Info info = query(reader);
    const bool emv = reader.runsEmv();
    reader.close();
    if (info.answered == 0) {
        throw CliError(EXIT_FAILED, "the reader at " + reader.path() + " answered no query (" +
                                        info.lastFailure.describe() + ")");
    }
    if (info.stopped) {
        warn("the reader stopped answering (" + info.lastFailure.describe() +
             "); the rest was not asked");
    }

    Output& out = Output::instance();
    int pid = reader.productId();
    HidDevice device;
    std::string location =
        !reader.isSerial() && HidSurvey::find(reader.path(), &device) ? device.usbLocation : "";
    if (parser.has("json")) {
        JsonWriter j;
        j.beginObject()
            .key("path")
            .value(reader.path())
            .key("productId")
            .value(pid)
            .key("model")
            .value(pid != 0 ? modelName(pid) : std::string("serial reader"))
            .key("usbLocation")
            .valueOrNull(location)
            .key("serialNumber")
            .valueOrNull(info.serialNumber)
            .key("firmware")
            .valueOrNull(info.firmwareHex)
            .key("firmwareText")
            .valueOrNull(info.firmwareText)
            .key("partNumber")
            .valueOrNull(info.partNumber)
            .key("batteryLevel");
        if (info.batteryLevel >= 0) {
            j.value(info.batteryLevel);
        } else {
            j.null();
        }
        j.key("emv").value(emv).endObject();
        out.line(j.str());
        return EXIT_OK;
    }
    auto orUnknown = [](const std::string& s) { return s.empty() ? std::string("unknown") : s; };
    out.printf("Device path:    %s\n", safeText(reader.path()).c_str());
    if (pid != 0) {
        out.printf("Product ID:     0x%04X\n", static_cast<unsigned>(pid));
        out.printf("Model:          %s\n", orUnknown(modelName(pid)).c_str());
        if (!location.empty()) {
            out.printf("USB location:   %s\n", location.c_str());
        }
    } else {
        out.printf("Product ID:     none (serial reader)\n");
    }
    out.printf("Serial number:  %s\n", safeText(orUnknown(info.serialNumber)).c_str());
    std::string firmware = orUnknown(info.firmwareHex);
    if (!info.firmwareText.empty()) {
        firmware += " (\"" + info.firmwareText + "\")";
    }
    out.printf("Firmware:       %s\n", safeText(firmware).c_str());
    out.printf("Part number:    %s\n", safeText(orUnknown(info.partNumber)).c_str());
    if (info.batteryLevel >= 0) {
        out.printf("Battery level:  %ld\n", info.batteryLevel);
    } else {
        out.printf("Battery level:  not reported\n");
    }
    out.printf("EMV:            %s\n", emv ? "yes" : "no");
    return EXIT_OK;
}

}  // namespace quorin::cli
