#include "reader/Strivo.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "common/CommandTimeout.h"
#include "common/Diagnostics.h"
#include "common/MutexLock.h"
#include "common/ResultCode.h"
#include "common/stdafx.h"

namespace quorin {

namespace {

// Work area of the plain command framing: the hex text converts into at most
// this many bytes; longer text is refused.
constexpr int COMMAND_WORK_AREA = 1024;
// A plain command travels in one feature report: report ID, command byte,
// length byte and the data.
constexpr int SEND_BUFFER_SIZE = 4096;

}  // namespace

Strivo::Strivo() {
    std::memset(&configTable, 0, sizeof(configTable));
    std::memset(&cardData, 0, sizeof(cardData));
    std::memset(&rawData, 0, sizeof(rawData));
}

Strivo::~Strivo() {
    // The session detaches the delegate first, so this reports nothing.
    // close() is called non-virtually: a subclass's part is already gone.
    Strivo::close();
    msrRawData.clear();
}

Strivo_Delegate* Strivo::getDelegate() {
    MutexLock guard(delegateLock);
    return _delegate;
}

void Strivo::setDelegate(Strivo_Delegate* d) {
    MutexLock guard(delegateLock);
    _delegate = d;
    if (d != nullptr && connection) {
        d->OnDeviceChange(this, ZEDRA_STATE_CONNECTED);
    }
}

ZDMSRDATA Strivo::getCardData() {
    MutexLock guard(cardLock);
    return cardData;
}

void Strivo::copyCardData(ZDMSRDATA& out) {
    MutexLock guard(cardLock);
    out = cardData;
}

void Strivo::wipeRawRecord() {
    const long pid = rawData.m_dwDevicePID;
    CardDataPool::wipe(&rawData, sizeof(rawData));
    rawData.m_dwDevicePID = pid;
}

void Strivo::_onData(iConnection* connObject, unsigned char* pData, int dataLen,
                     void* associateObject) {
    try {
        if (associateObject != nullptr) {
            static_cast<Strivo*>(associateObject)->onData(connObject, pData, dataLen);
        }
    } catch (...) {
        // The receiving thread goes on with the next report.
    }
}

void Strivo::_onChanged(const char* pathScheme, int change, void* associateObject) {
    try {
        if (associateObject != nullptr) {
            static_cast<Strivo*>(associateObject)->onChanged(pathScheme, change);
        }
    } catch (...) {
    }
}

void Strivo::setError(int err, char* message, void* /*env*/) {
    withDelegate([&](Strivo_Delegate* d) { d->OnError(this, err, message); });
}

bool Strivo::_open(const char* path, const CRConfigTable* config) {
    return adoptConnection(iConnection::open(path), config);
}

bool Strivo::adoptConnection(iConnection* conn, const CRConfigTable* config) {
    {
        MutexLock guard(m_connectionLock);
        connection.reset(conn);
        m_connected.store(conn != nullptr);
    }
    if (config != nullptr) {
        configTable = *config;
    } else {
        std::memset(&configTable, 0, sizeof(configTable));
    }
    if (!connection) {
        return false;
    }
    connection->registerOnDataEvent(&Strivo::_onData, this);
    connection->registerConnectionChanged(&Strivo::_onChanged, this);
    connection->setErrorHandler(this);
    withDelegate([&](Strivo_Delegate* d) { d->OnDeviceChange(this, ZEDRA_STATE_CONNECTED); });
    return true;
}

void Strivo::afterOpen() {}

bool Strivo::composeCommand(unsigned char* hexCmd, int /*hexCmdLen*/, unsigned char* buffer,
                            int* bufferLen) {
    return composePlainFrame(hexCmd, COMMAND_WORK_AREA, buffer, bufferLen);
}

bool Strivo::composePlainFrame(const unsigned char* hexCmd, size_t workArea, unsigned char* buffer,
                               int* bufferLen) {
    if (hexCmd == nullptr || buffer == nullptr || bufferLen == nullptr) {
        return false;
    }
    const char* text = reinterpret_cast<const char*>(hexCmd);
    // Refuse text that would not fit the work area instead of cutting it.
    const size_t pairs = std::strlen(text) / 2;
    if (pairs > workArea) {
        return false;
    }
    // Sized to the text (an unpaired last digit is ignored, so it holds at
    // most that many bytes): a full-size area per call made every command
    // grow and trim the heap.
    std::vector<unsigned char> work(std::max<size_t>(pairs, 1));
    int n = 0;
    ConvertASCIIHexToByteArray(text, work.data(), &n, static_cast<int>(work.size()));
    // The data length travels in one byte: a longer command cannot be framed
    // truthfully and is refused rather than sent with a wrapped length.
    if (n <= 0 || n - 1 > 0xFF || *bufferLen <= n + 1) {
        return false;
    }
    buffer[1] = work[0];
    buffer[2] = static_cast<unsigned char>(n - 1);
    if (n > 1) {
        std::memcpy(buffer + 3, work.data() + 1, static_cast<size_t>(n - 1));
    }
    *bufferLen = n + 2;
    return true;
}

void Strivo::close() {
    // Destroying the connection stops and joins its receiving thread.
    stopConnection();
    withDelegate([&](Strivo_Delegate* d) { d->OnDeviceChange(this, ZEDRA_STATE_DISCONNECTED); });
}

void Strivo::stopConnection() {
    std::unique_ptr<iConnection> gone;
    {
        MutexLock guard(m_connectionLock);
        gone = std::move(connection);
        m_connected.store(false);
    }
    // Destroyed outside the lock: joining the receiving thread may take a
    // while, and getRawData must not wait for it.
    gone.reset();
}

void Strivo::interruptExchange() {
    MutexLock guard(m_connectionLock);
    if (connection) {
        connection->interrupt();
    }
}

void Strivo::shutDown() {
    m_shutDown = true;
    stopConnection();
}

void Strivo::clear() {
    {
        MutexLock guard(cardLock);
        CardDataPool::wipe(&cardData, sizeof(cardData));
        wipeRawRecord();
        ++m_clears;
    }
    // The reports kept raw are the card too.
    msrRawData.clear();
    clearRawData();
}

bool Strivo::isConnected() {
    return m_connected.load();
}

int Strivo::sendCommand(unsigned char* command, int commandLength) {
    if (!connection) {
        return RC_NOT_OPEN;
    }
    std::vector<unsigned char> buffer(SEND_BUFFER_SIZE, 0);
    int length = SEND_BUFFER_SIZE;
    if (!composeCommand(command, commandLength, buffer.data(), &length)) {
        return RC_BAD_ARGUMENT;
    }
    return connection->send(reinterpret_cast<char*>(buffer.data()), length, 1);
}

int Strivo::waitForCommand() {
    return RC_OK;
}

int Strivo::getResponse(unsigned char* buf, int BufferLength) {
    int length = BufferLength;
    return getResponse(buf, &length);
}

int Strivo::getResponse(unsigned char* buf, int* BufferLength) {
    try {
        if (buf == nullptr || BufferLength == nullptr || *BufferLength < 1) {
            return RC_BAD_ARGUMENT;
        }
        if (!connection) {
            return RC_NOT_OPEN;
        }
        buf[0] = 0;
        const int rc = connection->receive(buf, BufferLength);
        // An answer cut short of its own length is a failed read.
        return rc == RC_OK && cutShort(buf, *BufferLength) ? RC_TRANSFER_FAILED : rc;
    } catch (...) {
        return RC_EXCEPTION;
    }
}

bool Strivo::cutShort(const unsigned char* frame, int length) {
    return frame != nullptr && length >= 3 && frame[2] > length - 3;
}

CardText Strivo::getMsrRawData() {
    return msrRawData.getAll();
}

CardText Strivo::getRawData() {
    MutexLock guard(m_connectionLock);
    return connection ? connection->getAll() : CardText();
}

void Strivo::clearRawData() {
    MutexLock guard(m_connectionLock);
    if (connection) {
        connection->clear();
    }
}

int Strivo::getResultCode() {
    return resultCode.load();
}

void Strivo::setResultCode(int code) {
    resultCode.store(code);
}

void Strivo::onData(iConnection* /*connObject*/, unsigned char* pData, int dataLen) {
    getMSRResult(pData, dataLen);
}

void Strivo::onChanged(const char* /*pathScheme*/, int /*change*/) {
    withDelegate([&](Strivo_Delegate* d) { d->OnDeviceChange(this, ZEDRA_STATE_DISCONNECTED); });
}

namespace {
// The debug log's line for an exchange: the command's number (or extended
// id) and size, never its data; the answer's result and size.
void logExchange(const std::string& command, const Strivo::Exchange& ex) {
    if (!debugLogging()) {
        return;
    }
    const size_t colon = command.find(':');
    const std::string id = command.substr(0, colon != std::string::npos ? colon : 2);
    const size_t dataChars = colon != std::string::npos
                                 ? command.size() - colon - 1
                                 : (command.size() > 2 ? command.size() - 2 : 0);
    static const char* const STAGES[] = {"send", "wait", "read", "decode"};
    debugLog("command %s with %zu data bytes: %s step, result %d, %zu answer bytes", id.c_str(),
             dataChars / 2, STAGES[ex.stage], ex.code, ex.hex.size() / 2);
}
}  // namespace

Strivo::Exchange Strivo::runExchange(const char* command, int textCapacity) {
    Exchange ex;
    MutexLock exchange(lock);
    std::unique_lock<std::mutex> device;
    if (m_deviceLock) {
        device = std::unique_lock<std::mutex>(m_deviceLock->native());
    }
    // From here, every write and read of this exchange shares one time-out.
    ExchangeDeadline deadline;
    m_readerCode.store(-1);
    if (m_shutDown || !connection) {
        ex.result = ex.code = RC_NOT_OPEN;
        logExchange(command != nullptr ? command : "", ex);
        return ex;
    }
    std::string text = command != nullptr ? command : "";
    std::vector<unsigned char> cmd(text.begin(), text.end());
    cmd.push_back('\0');
    ex.stage = Exchange::SEND;
    ex.result = ex.code = sendCommand(cmd.data(), static_cast<int>(text.size()));
    if (ex.result != 0) {
        logExchange(text, ex);
        return ex;
    }
    ex.stage = Exchange::WAIT;
    ex.result = ex.code = waitForCommand();
    if (ex.result != 0) {
        logExchange(text, ex);
        return ex;
    }
    ex.stage = Exchange::READ;
    // An all-zero area, of which an answer fills a few bytes: only those are
    // cleared again for the next command.
    ZeroedBufferPool::Lease area = m_responseAreas.take();
    unsigned char* buffer = area.data();
    int bufferLen = RESPONSE_BUFFER_SIZE;
    ex.result = getResponse(buffer, &bufferLen);
    const bool counted = ex.result == 0 && bufferLen >= 0 && bufferLen <= RESPONSE_BUFFER_SIZE;
    // The readers write their report ID ahead of what they count.
    area.touched(counted ? std::max(bufferLen, ANSWER_HEADER_BYTES) : RESPONSE_BUFFER_SIZE);
    if (ex.result != 0) {
        ex.code = ex.result;
        logExchange(text, ex);
        return ex;
    }
    if (!counted) {
        bufferLen = RESPONSE_BUFFER_SIZE;
    }
    ex.response.assign(buffer, buffer + bufferLen);
    ex.stage = Exchange::DECODE;
    // Left uninitialised: up to 64 KiB per command otherwise. The decoders
    // write every character they count in outLen, and only those are read.
    std::unique_ptr<char[]> out(new char[static_cast<size_t>(textCapacity > 0 ? textCapacity : 1)]);
    out[0] = '\0';
    int outLen = textCapacity;
    ex.result = MakeHexStringFromResponse(buffer, bufferLen, out.get(), &outLen);
    if (outLen > 0 && outLen < textCapacity) {
        ex.hex.assign(out.get(), static_cast<size_t>(outLen));
    }
    ex.readerCode = m_readerCode.load();
    ex.code = ex.result != 0 ? ex.result : resultCode.load();
    logExchange(text, ex);
    return ex;
}

int Strivo::MakeHexStringFromResponse(unsigned char* buf, int BufferLength, char* out,
                                      int* outLen) {
    if (buf == nullptr || out == nullptr || outLen == nullptr || BufferLength < 2) {
        return RC_BAD_ARGUMENT;
    }
    int code = buf[1];
    resultCode.store(code);
    // Frame: report ID, result code, data length L, then L data bytes. An
    // answer cut short of its own length is refused, never handed on cut.
    int length = BufferLength >= 3 ? buf[2] : 0;
    if (length > BufferLength - 3) {
        if (*outLen > 0) {
            out[0] = '\0';
        }
        *outLen = 0;
        resultCode.store(RC_TRANSFER_FAILED);
        return RC_TRANSFER_FAILED;
    }
    if (2 * length + 1 > *outLen) {
        // The caller's text buffer cannot hold the answer: refuse rather than
        // overrun it or hand back a cut response.
        if (*outLen > 0) {
            out[0] = '\0';
        }
        *outLen = 0;
        return RC_BAD_ARGUMENT;
    }
    ByteArrayToHexStr(buf + 3, length, out, 2 * length + 1);
    *outLen = 2 * length;
    m_readerCode.store(code);
    return code;
}

}  // namespace quorin
