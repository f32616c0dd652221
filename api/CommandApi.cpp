// Exported command functions: synchronous in three generations,
// asynchronous workers, clearing card data and the command time-out.
#include <cstdio>
#include <cstring>
#include <string>

#include "Quorin.h"
#include "api/CallbackQueue.h"
#include "api/FirstCommand.h"
#include "api/LocalDelegate.h"
#include "api/NotificationText.h"
#include "api/ReaderSession.h"
#include "common/CommandTimeout.h"
#include "common/Guard.h"
#include "common/ResultCode.h"
#include "common/stdafx.h"

using namespace quorin;

namespace {

// The plain text functions accept commands of up to this many characters, so
// every copy fits the 8192-byte work areas.
constexpr size_t MAX_COMMAND_TEXT = 8189;
// Text capacity of the Ex synchronous exchange: the longest extended
// response (32768 data bytes) as hex, with its terminator.
constexpr int EX_TEXT_CAPACITY = 2 * 32768 + 2;
// Text capacity of the workers' exchange: as the synchronous Ex call, so an
// extended answer reaches the callback whole.
constexpr int WORKER_TEXT_CAPACITY = EX_TEXT_CAPACITY;
// Status byte of a response packet of the extended protocol.
constexpr unsigned char EXTENDED_RESPONSE_STATUS = 0x0A;

// The worker's response text. A plain answer goes from its second byte on
// (result code, data length L, then L data bytes) as lower-case hex. An
// answer in extended-protocol packets (status 0x0A) would not fit that form:
// its data may run to 32,768 bytes over many packets. It is handed over whole,
// as the synchronous call returns it: "0a", four hex digits of the result
// code, four of the data byte count, then the data, all lower-case.
std::string workerText(const Strivo::Exchange& ex) {
    static const char digits[] = "0123456789abcdef";
    const std::vector<unsigned char>& response = ex.response;
    std::string out;
    if (response.size() < 3) {
        return out;
    }
    if (response[1] == EXTENDED_RESPONSE_STATUS) {
        const CardText text =
            extendedResponseText(static_cast<unsigned short>(ex.code & 0xFFFF), LOWER(ex.hex));
        return "0a" + std::string(text.view());
    }
    size_t length = response[2];
    size_t end = 3 + length;
    if (end > response.size()) {
        end = response.size();
    }
    for (size_t i = 1; i < end; ++i) {
        out += digits[response[i] >> 4];
        out += digits[response[i] & 0x0F];
    }
    return out;
}

// The host's text, read no further than one character past the longest
// accepted command (so a longer one shows as longer); "" for null.
std::string boundedText(const char* text) {
    return text != nullptr ? std::string(text, strnlen(text, MAX_COMMAND_TEXT + 1)) : std::string();
}

// Drops the length byte (characters three and four) of a with-length text.
std::string withoutLength(const std::string& text) {
    if (text.size() < 4) {
        return text.substr(0, 2);
    }
    return text.substr(0, 2) + text.substr(4);
}

// *code, when given: the exchange's own code, or the result itself when the
// command did not reach the reader.
long sendFirst(const char* lpCmd, long lpdwCmdLen, char* lpResult, long lpdwResultLen,
               int* code = nullptr) {
    int exchangeCode = 0;
    bool exchanged = false;
    long result = RC_BAD_ARGUMENT;
    ReaderSession& session = ReaderSession::instance();
    const size_t length =
        lpCmd != nullptr && lpdwCmdLen >= 2 ? strnlen(lpCmd, static_cast<size_t>(lpdwCmdLen)) : 0;
    if (lpCmd == nullptr || lpdwCmdLen < 2 || length > MAX_COMMAND_TEXT) {
        result = RC_BAD_ARGUMENT;
    } else if (session.bInBusy.exchange(true)) {
        result = RC_BUSY;
    } else {
        try {
            std::shared_ptr<Strivo> reader = session.current();
            if (!reader) {
                result = RC_NOT_OPEN;
            } else if (lpResult == nullptr || lpdwResultLen < 1) {
                result = RC_BAD_ARGUMENT;
                reader->forgetReaderResultCode();
            } else {
                std::string command(lpCmd, length);
                int capacity =
                    lpdwResultLen > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(lpdwResultLen);
                Strivo::Exchange ex = reader->runExchange(command.c_str(), capacity);
                result = ex.result;
                exchangeCode = ex.code;
                exchanged = true;
                if (ex.stage == Strivo::Exchange::DECODE) {
                    // The hex data is handed back whatever the result code.
                    size_t n = ex.hex.size();
                    std::memcpy(lpResult, ex.hex.data(), n);
                    lpResult[n] = '\0';
                    if (result == 0 && static_cast<long>(n + 2) <= lpdwResultLen) {
                        lpResult[n + 1] = '\0';
                    }
                }
                if (result != 0) {
                    reader->setResultCode(static_cast<int>(result));
                }
            }
        } catch (...) {
            result = RC_EXCEPTION;
            exchanged = false;
        }
        session.bInBusy.store(false);
    }
    if (code != nullptr) {
        *code = exchanged ? exchangeCode : static_cast<int>(result);
    }
    return result;
}

long sendFirstWithLength(const char* lpCmd, long lpdwCmdLen, char* lpResult, long lpdwResultLen,
                         int* code = nullptr) {
    if (lpCmd != nullptr && lpdwCmdLen > 0 &&
        std::memchr(lpCmd, ':', strnlen(lpCmd, static_cast<size_t>(lpdwCmdLen))) != nullptr) {
        return sendFirst(lpCmd, lpdwCmdLen, lpResult, lpdwResultLen, code);
    }
    if (lpCmd == nullptr || lpdwCmdLen < 4) {
        if (code != nullptr) {
            *code = RC_TOO_SHORT;
        }
        return RC_TOO_SHORT;
    }
    size_t length = strnlen(lpCmd, static_cast<size_t>(lpdwCmdLen));
    if (length > MAX_COMMAND_TEXT) {
        if (code != nullptr) {
            *code = RC_BAD_ARGUMENT;
        }
        return RC_BAD_ARGUMENT;
    }
    std::string command = withoutLength(std::string(lpCmd, length));
    return sendFirst(command.c_str(), lpdwCmdLen - 2, lpResult, lpdwResultLen, code);
}

// Refuses an Ex call's argument: the result code says so (6), on the reader
// and for the calling thread.
const char* refuseEx(unsigned long handle) {
    ReaderSession& session = ReaderSession::instance();
    std::shared_ptr<Strivo> reader = session.find(handle);
    const int code = reader ? RC_BAD_ARGUMENT : RC_NOT_OPEN;
    if (reader) {
        reader->setResultCode(code);
    }
    ReaderSession::noteResult(handle, code);
    return session.keepText("");
}

const char* sendEx(unsigned long handle, const char* lpCmd) {
    ReaderSession& session = ReaderSession::instance();
    std::shared_ptr<Strivo> reader = session.find(handle);
    if (!reader) {
        ReaderSession::noteResult(handle, RC_NOT_OPEN);
        return session.keepText("");
    }
    std::string command = boundedText(lpCmd);
    if (command.size() > MAX_COMMAND_TEXT) {
        return refuseEx(handle);
    }
    reader->flag.store(1);
    std::string text;
    int code = RC_EXCEPTION;
    int readerCode = -1;
    try {
        Strivo::Exchange ex = reader->runExchange(command.c_str(), EX_TEXT_CAPACITY);
        if (ex.result != 0) {
            reader->setResultCode(ex.result);
        }
        code = ex.code;
        readerCode = ex.readerCode;
        text = std::move(ex.hex);
    } catch (...) {
        text.clear();
    }
    reader->flag.store(0);
    ReaderSession::noteResult(handle, code, readerCode);
    return session.keepText(text);
}

// The plain generation's text functions: the answer in the shared result
// buffer, emptied first (which also wipes the result ring).
const char* sendIntoSharedBuffer(const char* lpCmd,
                                 long (*send)(const char*, long, char*, long, int*),
                                 int* code = nullptr) {
    ReaderSession& session = ReaderSession::instance();
    std::memset(session.sendCommandResult, 0, ReaderSession::SEND_COMMAND_RESULT_SIZE);
    guardedVoid([&] {
        const char* text = lpCmd != nullptr ? lpCmd : "";
        send(text, static_cast<long>(strnlen(text, MAX_COMMAND_TEXT + 1)),
             session.sendCommandResult, ReaderSession::SEND_COMMAND_RESULT_SIZE, code);
    });
    return session.sendCommandResult;
}

}  // namespace

long quorin::sendFirstCommand(const char* lpCmd, long lpdwCmdLen, char* lpResult,
                              long lpdwResultLen, int* code) {
    return sendFirst(lpCmd, lpdwCmdLen, lpResult, lpdwResultLen, code);
}

const char* quorin::sendCommandWithCode(const char* lpCmd, int* code) {
    *code = RC_EXCEPTION;  // kept when an exception ends the call
    return sendIntoSharedBuffer(lpCmd, sendFirst, code);
}

extern "C" {

QUORIN_API void SetCommandTimeout(int TimeoutMs) {
    setCommandTimeoutMs(TimeoutMs);
}

QUORIN_API long QuorinSendCommand(char* lpCmd, long lpdwCmdLen, char* lpResult,
                                  long lpdwResultLen) {
    return guarded(static_cast<long>(RC_EXCEPTION),
                   [&] { return sendFirst(lpCmd, lpdwCmdLen, lpResult, lpdwResultLen); });
}

QUORIN_API long QuorinSendCommandWithLength(char* lpCmd, long lpdwCmdLen, char* lpResult,
                                            long lpdwResultLen) {
    return guarded(static_cast<long>(RC_EXCEPTION),
                   [&] { return sendFirstWithLength(lpCmd, lpdwCmdLen, lpResult, lpdwResultLen); });
}

QUORIN_API const char* SendCommand(const char* lpCmd) {
    return sendIntoSharedBuffer(lpCmd, sendFirst);
}

QUORIN_API const char* SendCommandWithLength(const char* lpCmd) {
    return sendIntoSharedBuffer(lpCmd, sendFirstWithLength);
}

QUORIN_API const char* SendCommandEx(unsigned long Handle, const char* lpCmd) {
    return guarded(static_cast<const char*>(""), [&] { return sendEx(Handle, lpCmd); });
}

QUORIN_API const char* SendCommandWithLengthEx(unsigned long Handle, const char* lpCmd) {
    return guarded(static_cast<const char*>(""), [&]() -> const char* {
        if (lpCmd == nullptr) {
            return refuseEx(Handle);
        }
        size_t length = strnlen(lpCmd, MAX_COMMAND_TEXT + 1);
        if (length < 5 || length > MAX_COMMAND_TEXT) {
            return refuseEx(Handle);
        }
        // The declared length byte says how many data characters follow;
        // anything beyond them is ignored, and a text shorter than declared is
        // refused.
        char lengthText[3] = {lpCmd[2], lpCmd[3], '\0'};
        size_t dataChars = 2 * std::strtoul(lengthText, nullptr, 16);
        if (dataChars >= length - 3) {
            return refuseEx(Handle);
        }
        std::string command = std::string(lpCmd, 2) + std::string(lpCmd + 4, dataChars);
        return sendEx(Handle, command.c_str());
    });
}

QUORIN_API long SendData(const char* lpHexCommandString) {
    return guarded(static_cast<long>(RC_EXCEPTION), [&]() -> long {
        ReaderSession& session = ReaderSession::instance();
        std::shared_ptr<Strivo> reader = session.current();
        std::shared_ptr<CallbackQueue> commands = session.firstCommands();
        if (!reader || !commands) {
            return RC_OK;
        }
        std::string text = boundedText(lpHexCommandString);
        if (text.size() > MAX_COMMAND_TEXT) {
            return RC_BAD_ARGUMENT;
        }
        // The reader's commands run one after the other, in the order they
        // were given, each holding the exchange lock for its whole exchange.
        auto posted = commands->post([reader, text]() mutable {
            // A plain hex text of odd length lacks its leading zero. An
            // extended text ("CCLLCC:DATA") is odd by its colon and is sent
            // as given.
            if (text.size() % 2 != 0 && text.find(':') == std::string::npos) {
                text.insert(text.begin(), '0');
            }
            if (text.size() < 2) {
                return;
            }
            std::string command = withoutLength(text);
            Strivo::Exchange ex = reader->runExchange(command.c_str(), WORKER_TEXT_CAPACITY);
            if (ex.stage != Strivo::Exchange::DECODE) {
                return;
            }
            localDelegate().OnDeviceResponse(workerText(ex).c_str());
        });
        // A queue closed meanwhile means the reader was closed: as with no
        // reader open, nothing is sent and no callback follows.
        return posted == CallbackQueue::Posted::DROPPED ? RC_EXCEPTION : RC_OK;
    });
}

QUORIN_API long SendDataEx(unsigned long Handle, const char* lpHexCommandString) {
    return guarded(static_cast<long>(RC_EXCEPTION), [&]() -> long {
        ReaderSession& session = ReaderSession::instance();
        std::shared_ptr<Strivo> reader = session.find(Handle);
        std::shared_ptr<CallbackQueue> commands = session.commandsOf(Handle);
        if (!reader || !commands) {
            ReaderSession::noteResult(Handle, RC_NOT_OPEN);
            return RC_OK;
        }
        std::string text = boundedText(lpHexCommandString);
        if (text.size() > MAX_COMMAND_TEXT) {
            refuseEx(Handle);
            return RC_BAD_ARGUMENT;
        }
        // The command supersedes the calling thread's earlier result on the
        // handle: GetResultCodeEx gives its own outcome once it has run.
        auto outcome = ReaderSession::notePending(Handle);
        auto posted = commands->post([reader, text, outcome] {
            std::string command = withoutLength(text);
            Strivo::Exchange ex = reader->runExchange(command.c_str(), WORKER_TEXT_CAPACITY);
            outcome->set(ex.code, ex.readerCode);
            if (ex.stage == Strivo::Exchange::SEND) {
                return;
            }
            if (ex.stage != Strivo::Exchange::DECODE) {
                reader->setResultCode(ex.result);
                return;
            }
            if (ex.result != 0) {
                reader->setResultCode(ex.result);
            }
            std::string response = workerText(ex);
            Strivo* raw = reader.get();
            reader->withDelegate(
                [&](Strivo_Delegate* d) { d->OnDeviceResponse(raw, response.c_str()); });
        });
        return posted == CallbackQueue::Posted::DROPPED ? RC_EXCEPTION : RC_OK;
    });
}

QUORIN_API void QuorinClearBuffer(void) {
    guardedVoid([] {
        ReaderSession& session = ReaderSession::instance();
        std::shared_ptr<Strivo> reader = session.current();
        localDelegate().OnCardUpdate(reader.get(), ZEDRA_DATA_NOTREADY);
        session.wipeFirstGenerationTexts();
        // Queued notifications may carry card data (an ARQC's account number).
        localDelegate().clearNotify();
    });
}

QUORIN_API void ClearCardData(void) {
    QuorinClearBuffer();
}

QUORIN_API void ClearCardDataEx(unsigned long Handle) {
    guardedVoid([&] {
        std::shared_ptr<Strivo> reader = ReaderSession::instance().find(Handle);
        if (reader) {
            Strivo* raw = reader.get();
            reader->withDelegate(
                [&](Strivo_Delegate* d) { d->OnCardUpdate(raw, ZEDRA_DATA_NOTREADY); });
            // The texts GetCardDataEx and GetRawData handed out go too.
            ReaderSession::instance().withExDelegate(
                Handle, [](LocalDelegateEx& d) { d.wipeStaticStrings(); });
        }
    });
}

}  // extern "C"
