// quorin info: what a reader says about itself.
#include <cstdlib>

#include "ArgParser.h"
#include "CliError.h"
#include "Commands.h"
#include "HexText.h"
#include "JsonWriter.h"
#include "Output.h"
#include "ReaderHandle.h"
#include "ReaderModels.h"

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

struct Info {
    std::string serialNumber;
    std::string firmwareHex;
    std::string firmwareText;
    std::string partNumber;
    long batteryLevel = -1;  // -1: the reader does not say
    int answered = 0;
    int lastFailure = 0;
};

std::string asText(const std::string& hex) {
    std::vector<uint8_t> bytes;
    return hexToBytes(hex, &bytes) ? printableText(bytes) : std::string();
}

Info query(const ReaderHandle& reader) {
    Info info;
    int rc = 0;
    auto note = [&](int result) {
        if (result == 0) {
            ++info.answered;
        } else {
            info.lastFailure = result;
        }
        return result == 0;
    };

    std::string serial = reader.command(CMD_SERIAL, &rc);
    if (note(rc)) {
        std::string text = asText(serial);
        info.serialNumber = text.empty() ? serial : text;
    }
    std::string firmware = reader.command(CMD_FIRMWARE, &rc);
    if (note(rc)) {
        info.firmwareHex = firmware;
        info.firmwareText = asText(firmware);
        if (firmware.size() >= PART_NUMBER_DIGITS) {
            info.partNumber = firmware.substr(0, PART_NUMBER_DIGITS);
        }
    }
    std::string battery = reader.command(CMD_BATTERY, &rc);
    if (note(rc) && !battery.empty() && isHexDigits(battery)) {
        info.batteryLevel = std::strtol(battery.c_str(), nullptr, 16);
    } else {
        std::string extended = reader.command(CMD_BATTERY_EXTENDED, &rc);
        std::string prefix = BATTERY_EXTENDED_PREFIX;
        if (note(rc) && extended.size() > prefix.size() &&
            extended.compare(0, prefix.size(), prefix) == 0 &&
            isHexDigits(extended.substr(prefix.size()))) {
            info.batteryLevel = std::strtol(extended.c_str() + prefix.size(), nullptr, 16);
        }
    }
    return info;
}

}  // namespace

int runInfo(const Args& args) {
    ArgParser parser("quorin info [--device PATH] [--json]",
                     "Opens a reader and prints its serial number, firmware, part number, USB\n"
                     "product ID and model, battery level and whether it runs EMV transactions.");
    parser.option("device", "PATH",
                  "The reader to open: a path from `quorin list` or a "
                  "SERIAL://PORT=... path (default: the first attached reader).");
    parser.flag("json", "Print one JSON object instead of text.");
    parser.parse(args);
    if (parser.helpRequested()) {
        Output::instance().write(parser.helpText());
        return EXIT_OK;
    }

    ReaderHandle reader(parser.value("device"));
    Info info = query(reader);
    reader.close();
    if (info.answered == 0) {
        throw CliError(EXIT_FAILED, "the reader at " + reader.path() +
                                        " answered no query (result " +
                                        std::to_string(info.lastFailure) + ": " +
                                        resultMeaning(info.lastFailure) + ")");
    }

    Output& out = Output::instance();
    int pid = reader.productId();
    bool emv = isEmvModel(pid);
    if (parser.has("json")) {
        JsonWriter j;
        j.beginObject()
            .key("path")
            .value(reader.path())
            .key("productId")
            .value(pid)
            .key("model")
            .value(pid != 0 ? modelName(pid) : std::string("serial reader"))
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
    out.printf("Device path:    %s\n", reader.path().c_str());
    if (pid != 0) {
        out.printf("Product ID:     0x%04X\n", static_cast<unsigned>(pid));
        out.printf("Model:          %s\n", orUnknown(modelName(pid)).c_str());
    } else {
        out.printf("Product ID:     none (serial reader)\n");
    }
    out.printf("Serial number:  %s\n", orUnknown(info.serialNumber).c_str());
    std::string firmware = orUnknown(info.firmwareHex);
    if (!info.firmwareText.empty()) {
        firmware += " (\"" + info.firmwareText + "\")";
    }
    out.printf("Firmware:       %s\n", firmware.c_str());
    out.printf("Part number:    %s\n", orUnknown(info.partNumber).c_str());
    if (info.batteryLevel >= 0) {
        out.printf("Battery level:  %ld\n", info.batteryLevel);
    } else {
        out.printf("Battery level:  not reported\n");
    }
    out.printf("EMV:            %s\n", emv ? "yes" : "no");
    return EXIT_OK;
}

}  // namespace quorin::cli
