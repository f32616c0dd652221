// Exported queries about the current reader: battery, serial number,
// firmware, capabilities, product ID and name, EMV capability, and the mode
// flag. Each query is one fixed command through the plain command path.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "Quorin.h"
#include "api/FirstCommand.h"
#include "api/ReaderSession.h"
#include "common/Guard.h"
#include "common/ProductTable.h"
#include "common/stdafx.h"

using namespace quorin;

extern "C" {
// Exported so hosts may read it directly; nothing in the library reads it.
QUORIN_API int _VelarcMode = 0;
}

namespace {

long hexValue(const std::string& text) {
    return static_cast<long>(std::strtoul(text.c_str(), nullptr, 16));
}

const char* capability(const char* command, long atLeast) {
    std::string response = SendCommand(command);
    long value = std::strtol(response.c_str(), nullptr, 10);
    return value >= atLeast ? "1" : "0";
}

}  // namespace

extern "C" {

QUORIN_API long GetBatteryLevel(void) {
    long level = 100;
    try {
        int code = 0;
        std::string response = sendCommandWithCode("45", &code);
        if (code == 0) {
            return hexValue(response);
        }
        response = SendCommand("4601000005");
        if (response.compare(0, 6, "010100") == 0) {
            level = hexValue(response.substr(6));
        }
    } catch (...) {
    }
    return level;
}

QUORIN_API const char* GetDeviceSerial(void) {
    return guarded(static_cast<const char*>(""), []() -> const char* {
        ReaderSession& session = ReaderSession::instance();
        char* cache = session.DeviceSerialNumberBuffer;
        if (cache[0] != '\0') {
            return cache;
        }
        std::string response = SendCommand("0003");
        const char* text = HexToASCII(response.c_str());
        // The cache keeps 127 characters; a longer serial number is cut.
        std::strncpy(cache, text, ReaderSession::SERIAL_NUMBER_BUFFER_SIZE - 1);
        cache[ReaderSession::SERIAL_NUMBER_BUFFER_SIZE - 1] = '\0';
        return cache;
    });
}

QUORIN_API const char* GetCapStrivo20Encryption(void) {
    return guarded(static_cast<const char*>("0"), [] { return capability("0036", 1); });
}

QUORIN_API const char* GetCapMagStripeEncryption(void) {
    return guarded(static_cast<const char*>("0"), [] { return capability("15", 2); });
}

QUORIN_API const char* GetCapTracks(void) {
    return SendCommand("0005");
}

QUORIN_API const char* GetFirmware(void) {
    return SendCommand("0000");
}

QUORIN_API const char* GetDevicePartNumber(void) {
    return guarded(static_cast<const char*>(""), []() -> const char* {
        std::string response = SendCommand("0000");
        if (response.size() < 16) {
            return "";
        }
        return STATIC_STRING(response.substr(0, 16).c_str());
    });
}

QUORIN_API const char* GetDeviceName(void) {
    return guarded(static_cast<const char*>(""), []() -> const char* {
        std::shared_ptr<Strivo> reader = ReaderSession::instance().current();
        if (!reader) {
            return "";
        }
        // The reader's own copy of its row lives as long as the reader; the
        // ring copy outlives a close.
        return STATIC_STRING(reader->configTable.strDesc);
    });
}

QUORIN_API const char* GetProductID(void) {
    return guarded(static_cast<const char*>("0000"), []() -> const char* {
        if (!ReaderSession::instance().current()) {
            return "0000";
        }
        long pid = 0;
        QuorinGetPID(&pid);
        char text[32];
        std::snprintf(text, sizeof(text), "%04lx", static_cast<unsigned long>(pid));
        return STATIC_STRING(text);
    });
}

QUORIN_API bool IsDeviceEMV(void) {
    return guarded(false, [] {
        if (IsDeviceConnected() == 0) {
            return false;
        }
        long pid = 0;
        QuorinGetPID(&pid);
        if (pid == 0) {
            // Opened without a device-table row: the factory gave it an
            // extended-protocol reader, which runs EMV transactions.
            return true;
        }
        const ProductFacts* product = findProduct(pid);
        return product != nullptr && product->emv;
    });
}

QUORIN_API int TerminateBLEConnection(void) {
    return guarded(255, [] {
        char result[128] = {0};
        char command[] = "4601000B";
        long status = QuorinSendCommand(command, 8, result, sizeof(result));
        if (status == 0) {
            // Gives the link time to go down before the host goes on.
            SLEEP(1000);
        }
        return static_cast<int>(status);
    });
}

QUORIN_API int GetVelarcMode(void) {
    return _VelarcMode;
}

QUORIN_API void SetVelarcMode(int mode) {
    _VelarcMode = mode;
}

}  // extern "C"
