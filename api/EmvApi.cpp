// Exported EMV transaction and configuration functions of the current
// reader. Each builds one command text from its arguments and sends it
// through the plain command path; arguments that cannot make a sound command
// are refused before anything is sent.
#include <cstdio>
#include <cstring>
#include <string>

#include "Quorin.h"
#include "api/FirstCommand.h"
#include "api/LocalDelegate.h"
#include "api/NotificationText.h"
#include "api/ReaderSession.h"
#include "common/CardDataAllocator.h"
#include "common/Guard.h"
#include "common/ResultCode.h"
#include "common/stdafx.h"
#include "reader/TlvPayload.h"

using namespace quorin;

namespace {

constexpr size_t AMOUNT_DIGITS = 12;
constexpr size_t SERIAL_NUMBER_CHARACTERS = 32;
// The read text is built in a 2048-character area: six digits of arguments,
// the tags, the terminator.
constexpr size_t MAX_TAGS_TO_READ = 2041;

std::string hexByte(unsigned char value) {
    char text[4];
    std::snprintf(text, sizeof(text), "%02x", value);
    return text;
}

bool isHexText(const char* text, size_t length) {
    for (size_t i = 0; i < length; ++i) {
        if (char2int(text[i]) < 0) {
            return false;
        }
    }
    return true;
}

// Sends an extended text "CCCC:DATA" and returns the response hex.
const char* sendText(const std::string& text) {
    return SendCommand(text.c_str());
}

// "%02x" x 4, the serial number fitted to 32 characters, the objects, CMUT.
const char* configurationWrite(const char* commandId, unsigned char macType,
                               unsigned char slotNumber, unsigned char operation,
                               unsigned char databaseSelector, const char* deviceSerialNumber,
                               const char* objectsToWrite, const char* CMUT) {
    return guarded(static_cast<const char*>(""), [&]() -> const char* {
        if (deviceSerialNumber == nullptr || CMUT == nullptr) {
            return "";
        }
        std::string serial(deviceSerialNumber);
        serial.resize(SERIAL_NUMBER_CHARACTERS, '0');
        std::string text = std::string(commandId) + ":" + hexByte(macType) + hexByte(slotNumber) +
                           hexByte(operation) + hexByte(databaseSelector) + serial +
                           (objectsToWrite != nullptr ? objectsToWrite : "") + CMUT;
        return sendText(text);
    });
}

// "%02x" x 3, then the tags to read.
const char* configurationRead(const char* commandId, unsigned char slotNumber,
                              unsigned char operation, unsigned char databaseSelector,
                              const char* tagsToRead) {
    return guarded(static_cast<const char*>(""), [&]() -> const char* {
        if (tagsToRead != nullptr && strnlen(tagsToRead, MAX_TAGS_TO_READ + 1) > MAX_TAGS_TO_READ) {
            return "";
        }
        std::string text = std::string(commandId) + ":" + hexByte(slotNumber) + hexByte(operation) +
                           hexByte(databaseSelector) + (tagsToRead != nullptr ? tagsToRead : "");
        return sendText(text);
    });
}

// Pads an amount to twelve digits and packs it into six bytes.
bool amountBytes(const char* amount, unsigned char* out) {
    if (amount == nullptr) {
        return false;
    }
    size_t length = strnlen(amount, AMOUNT_DIGITS + 1);
    if (length > AMOUNT_DIGITS) {
        return false;
    }
    std::string padded = std::string(AMOUNT_DIGITS - length, '0') + std::string(amount, length);
    int n = 0;
    ConvertASCIIHexToByteArray(padded.c_str(), out, &n, 6);
    return n == 6;
}

int sendExtended(const char* lpCmd) {
    if (lpCmd == nullptr) {
        return RC_BAD_ARGUMENT;
    }
    std::string text(lpCmd, strnlen(lpCmd, 8192));
    if (text.size() < 8) {
        return RC_BAD_ARGUMENT;
    }
    std::string id = text.substr(0, 4);
    std::string data = text.substr(8);
    unsigned long length = std::strtoul(text.substr(4, 4).c_str(), nullptr, 16);
    if (2 * length != data.size()) {
        return RC_BAD_ARGUMENT;
    }
    ReaderSession& session = ReaderSession::instance();
    std::memset(session.sendCommandResult, 0, ReaderSession::SEND_COMMAND_RESULT_SIZE);
    std::string command = id + ":" + data;
    int code = 0;
    long result =
        sendFirstCommand(command.c_str(), static_cast<long>(command.size()),
                         session.sendCommandResult, ReaderSession::SEND_COMMAND_RESULT_SIZE, &code);
    if (result != 0) {
        return static_cast<int>(result);
    }
    // The exchange's own code: the reader's shared one may already be
    // another command's.
    localDelegate().OnExtendedResponse(extendedResponseText(
        static_cast<unsigned short>(code & 0xFFFF), session.sendCommandResult));
    return 0;
}

}  // namespace

extern "C" {

QUORIN_API const char* StartTransaction(unsigned char timeLimit, unsigned char cardType,
                                        unsigned char option, const char* amount,
                                        unsigned char transactionType, const char* cashBack,
                                        const char* currencyCode, unsigned char mode) {
    guardedVoid([&] {
        unsigned char data[19] = {0};
        data[0] = timeLimit;
        data[1] = cardType;
        data[2] = option;
        data[9] = transactionType;
        data[18] = mode;
        if (!amountBytes(amount, data + 3) || !amountBytes(cashBack, data + 10)) {
            return;
        }
        if (currencyCode == nullptr || strnlen(currencyCode, 5) != 4 ||
            !isHexText(currencyCode, 4)) {
            return;
        }
        int n = 0;
        ConvertASCIIHexToByteArray(currencyCode, data + 16, &n, 2);
        localDelegate().clearNotify();
        char hex[2 * sizeof(data) + 1];
        ByteArrayToHexStr(data, sizeof(data), hex, sizeof(hex));
        sendExtended((std::string("03000013") + hex).c_str());
    });
    return "";
}

QUORIN_API const char* GetTransactionProgress(int /*timeOut*/) {
    return guarded(static_cast<const char*>(""), [] {
        return ReaderSession::instance().keepText(localDelegate().waitForNotify());
    });
}

QUORIN_API const char* CancelTransaction(void) {
    return SendCommandWithLength("4906000003040000");
}

QUORIN_API const char* SetUserSelectionResult(unsigned char status, unsigned char selection) {
    std::string text = "4908000003020002" + hexByte(status) + hexByte(selection);
    return SendCommandWithLength(text.c_str());
}

QUORIN_API const char* SetAcquirerResponse(const char* response) {
    if (response == nullptr) {
        return "";
    }
    return guarded(static_cast<const char*>(""),
                   [&] { return sendText(std::string("0303:") + response); });
}

QUORIN_API const char* SetTerminalConfiguration(unsigned char macType, unsigned char slotNumber,
                                                unsigned char operation,
                                                unsigned char databaseSelector,
                                                const char* deviceSerialNumber,
                                                const char* objectsToWrite, const char* CMUT) {
    return configurationWrite("0305", macType, slotNumber, operation, databaseSelector,
                              deviceSerialNumber, objectsToWrite, CMUT);
}

QUORIN_API const char* GetTerminalConfiguration(unsigned char slotNumber, unsigned char operation,
                                                unsigned char databaseSelector,
                                                const char* tagsToRead) {
    return configurationRead("0306", slotNumber, operation, databaseSelector, tagsToRead);
}

QUORIN_API const char* SetApplicationConfiguration(unsigned char macType, unsigned char slotNumber,
                                                   unsigned char operation,
                                                   unsigned char databaseSelector,
                                                   const char* deviceSerialNumber,
                                                   const char* objectsToWrite, const char* CMUT) {
    return configurationWrite("0307", macType, slotNumber, operation, databaseSelector,
                              deviceSerialNumber, objectsToWrite, CMUT);
}

QUORIN_API const char* GetApplicationConfiguration(unsigned char slotNumber,
                                                   unsigned char operation,
                                                   unsigned char databaseSelector,
                                                   const char* tagsToRead) {
    return configurationRead("0308", slotNumber, operation, databaseSelector, tagsToRead);
}

QUORIN_API const char* SetAcquirerCAPublicKey(unsigned char macType, unsigned char slotNumber,
                                              unsigned char operation,
                                              unsigned char databaseSelector,
                                              const char* deviceSerialNumber,
                                              const char* objectsToWrite, const char* CMUT) {
    return configurationWrite("0309", macType, slotNumber, operation, databaseSelector,
                              deviceSerialNumber, objectsToWrite, CMUT);
}

QUORIN_API const char* GetAcquirerCAPublicKey(unsigned char slotNumber, unsigned char operation,
                                              unsigned char databaseSelector,
                                              const char* tagsToRead) {
    return configurationRead("030a", slotNumber, operation, databaseSelector, tagsToRead);
}

QUORIN_API const char* GetKernelInformation(unsigned char Mode) {
    return guarded(static_cast<const char*>(""), [&] { return sendText("030b:" + hexByte(Mode)); });
}

QUORIN_API const char* SetDateTime(unsigned char macType, const char* deviceSerialNumber,
                                   unsigned char byteMonth, unsigned char byteDay,
                                   unsigned char byteHour, unsigned char byteMinute,
                                   unsigned char byteSecond, unsigned char byteWeekDay,
                                   unsigned char byteYear, const char* CMUT) {
    return guarded(static_cast<const char*>(""), [&]() -> const char* {
        if (deviceSerialNumber == nullptr || CMUT == nullptr) {
            return "";
        }
        std::string text = "030C:" + hexByte(macType) + deviceSerialNumber + hexByte(byteMonth) +
                           hexByte(byteDay) + hexByte(byteHour) + hexByte(byteMinute) +
                           hexByte(byteSecond) + hexByte(byteWeekDay) + hexByte(byteYear) + CMUT;
        return sendText(text);
    });
}

QUORIN_API const char* GetDateTime(void) {
    return SendCommandWithLength("49060000030D0000");
}

QUORIN_API const char* CommitConfiguration(unsigned char database) {
    std::string text = "49070000030E0001" + hexByte(database);
    return SendCommandWithLength(text.c_str());
}

QUORIN_API void SetLEDState(unsigned char state) {
    std::string text = "4D01" + hexByte(state);
    SendCommandWithLength(text.c_str());
}

QUORIN_API int SendExtendedCommand(const char* lpCmd) {
    return guarded(static_cast<int>(RC_EXCEPTION), [&] { return sendExtended(lpCmd); });
}

QUORIN_API const char* GetTLVPayload(void) {
    CardDataPool::HostStackWipe wipe;
    return guarded(static_cast<const char*>(""), []() -> const char* {
        ReaderSession& session = ReaderSession::instance();
        std::shared_ptr<Strivo> reader = session.current();
        if (!reader) {
            return "";
        }
        CardDataBox<ZDMSRDATA> record;
        reader->copyCardData(*record);
        const CardText text = TlvPayload::build(*record);
        if (text.size() >= ReaderSession::CARD_DATA_BUFFER_SIZE) {
            return "";
        }
        std::memcpy(session.cardDataBuffer, text.c_str(), text.size() + 1);
        return session.cardDataBuffer;
    });
}

}  // extern "C"
