// The reader object: one opened card reader.
//
// Owner and threads. The session owns the reader (shared ownership, so a
// call in progress on another thread keeps it alive); the reader owns its
// connection. Two kinds of thread use it: the connection's receiving thread,
// which runs onData/onChanged and so the card decoding and the delegate
// calls, and host or worker threads that send commands.
//
// Locks, in the order they may be taken:
//  - lock, the exchange lock: held for the whole of every command exchange
//    (runExchange), so exchanges on one reader never mix their packets; the
//    connection is destroyed only under it (shutDown).
//  - m_deviceLock, when set: the exchange lock of the device, shared with
//    another reader object open on the same device (the first generation's
//    and an Ex one); taken right after lock.
//  - delegateLock guards _delegate: every delegate call is made under it, so
//    once setDelegate(nullptr) has returned no call into the old delegate is
//    running or will start.
//  - m_connectionLock guards the connection pointer for the calls that read
//    it outside an exchange (getRawData, clearRawData).
//  - cardLock guards cardData and rawData: the receiving thread rewrites them
//    under it and getCardData copies under it, so a copy is never torn.
//
// Card data. Both records live in the card data pool (common/CardDataPool.h).
// The raw record is a work area of the decoding: it is wiped (but for the
// product ID) as soon as the reduced record is made. clear() wipes the
// reduced record and the reports kept raw (the reader's last card report and
// the connection's store), so after a clear, and after the reader is gone,
// no copy of the card that the reader made is left.
// The receiving thread takes only delegateLock and cardLock.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Quorin.h"
#include "common/CardDataAllocator.h"
#include "common/CardText.h"
#include "common/MutexLock.h"
#include "common/ZeroedBufferPool.h"
#include "reader/CRConfigTable.h"
#include "reader/Strivo_Delegate.h"
#include "transport/ErrorHandler.h"
#include "transport/RawDataStore.h"
#include "transport/iConnection.h"

namespace quorin {

// The raw card record: every field of a card-data report in byte and text
// form. Texts are NUL-terminated within their arrays.
typedef struct _ZEDRADATA {
    char m_szCardData[1536];
    char m_szCardDataMasked[1536];
    char m_szTk1Data[512];
    char m_szTk2Data[512];
    char m_szTk3Data[512];
    char m_szTk1DataMasked[512];
    char m_szTk2DataMasked[512];
    char m_szTk3DataMasked[512];
    char m_szFluxmarkData[256];
    char m_szTk1DataRaw[256];
    char m_szTk2DataRaw[256];
    char m_szTk3DataRaw[256];
    char m_szFluxmarkDataRaw[256];
    char m_szFluxmarkStatus[9];
    char m_szDUKPTKSN[256];
    char m_szDUKPTKSNRaw[256];
    char m_szDUKPTSessionID[256];
    char m_szDUKPTSessionIDRaw[256];
    char m_szDeviceSerialNumber[256];
    char m_szCardEncodeType[256];
    char m_szLastName[256];
    char m_szFirstName[256];
    char m_szPAN[256];
    char m_szMonth[256];
    char m_szYear[256];
    char m_szExpDate[256];
    long m_dwTk1Length;
    long m_dwTk2Length;
    long m_dwTk3Length;
    long m_dwTk1LengthMasked;
    long m_dwTk2LengthMasked;
    long m_dwTk3LengthMasked;
    long m_dwTk1DcdStatus;
    long m_dwTk2DcdStatus;
    long m_dwTk3DcdStatus;
    long m_dwDevicePID;
    long m_dwCardSwipeStatus;
    long m_dwFluxmarkLength;
    long m_dwFluxmarkStatus;
    long m_dwCardEncodeType;
    long m_dwBatteryLevel;
    long m_dwEncryptionStatus;
} ZEDRADATA;

struct CardEncodeTypeName {
    int type;
    const char* strType;
};
// "ISO", "AAMVA", "CADL", "BLANK", "OTHER", "UNDETERMINED", "NONE".
extern const CardEncodeTypeName card_encode_type_str[7];

class Strivo : public ErrorHandler {
public:
    // Picks the model class from the device-table row (may be null) and the
    // path, opens it and runs its opening handshake. Null on failure.
    // Defined in ReaderFactory.cpp, the one file of reader/ that knows the
    // model classes (extended/ included).
    static std::shared_ptr<Strivo> open(const char* path, const CRConfigTable* config);

    Strivo();
    ~Strivo() override;
    Strivo(const Strivo&) = delete;
    Strivo& operator=(const Strivo&) = delete;

    // The attached delegate (not owned), for a caller that must know whether
    // one is attached; the library's own calls go through withDelegate.
    Strivo_Delegate* getDelegate();
    // Stores d; when the reader holds a connection and d is set, reports
    // ZEDRA_STATE_CONNECTED to it at once. Waits for a delegate call in
    // progress on another thread to finish.
    void setDelegate(Strivo_Delegate* d);
    // A consistent copy of the card record. The copy goes through the
    // caller's stack: the library's own callers use copyCardData.
    ZDMSRDATA getCardData();
    // The same copy, written straight into out.
    void copyCardData(ZDMSRDATA& out);
    // The outcome of one command exchange.
    struct Exchange {
        enum Stage { SEND, WAIT, READ, DECODE };
        int result = 0;  // first non-zero status, or the response's result code
        // The command's result as the host reads it afterwards: result when
        // it is not 0, else the reader's result code after decoding (for an
        // extended response, the code its packets carry).
        int code = 0;
        // The result code the reader put in its answer (the result byte of a
        // plain answer, the 16-bit code of an extended one); -1 when no
        // answer arrived or it could not be decoded, so that code is the
        // library's own outcome.
        int readerCode = -1;
        Stage stage = SEND;                   // the step that produced result
        std::string hex;                      // response data as upper-case hex
        std::vector<unsigned char> response;  // the response as read (report ID first)
    };
    // Runs the four steps of a command (sendCommand, waitForCommand,
    // getResponse into a 64 KiB buffer, MakeHexStringFromResponse with a
    // text capacity of textCapacity), stopping at the first non-zero status.
    // Holds the exchange lock throughout; 5 once the reader is shut down.
    Exchange runExchange(const char* command, int textCapacity);

    // Destroys the connection (joining its receiving thread) without telling
    // the delegate. Runs before the object is deleted.
    void stopConnection();
    // Ends the exchange in flight on another thread at once (it answers 5,
    // and so does every later one on a link that waits for its answers):
    // what a close does before it waits for that exchange. Any thread.
    void interruptExchange();
    // The exchange lock of the device, when another reader object may be
    // open on the same device: runExchange takes it after its own lock.
    void shareDeviceLock(std::shared_ptr<Mutex> deviceLock) {
        m_deviceLock = std::move(deviceLock);
    }
    // What closing the reader does to it: later exchanges answer 5, and the
    // connection is destroyed (joining its receiving thread) without telling
    // the delegate. Call with the exchange lock held.
    void shutDown() REQUIRES(lock);

    // Card-data report decoding helpers (decoder alternative through the
    // connection's iDecoder). getMSRResult decodes reports itself; a model
    // whose connection decodes its reports would call decodeInputReport.
    bool decodeInputReport(const unsigned char* data, int dataLen);
    unsigned long decode_ulong(int id, void* data, int len);
    void decode_bytes(int id, void* buffer, void* data, int len);
    void ExtractNameISO(const char* track) REQUIRES(cardLock);
    void ExtractNameAAMVA(const char* track) REQUIRES(cardLock);

    static void _onData(iConnection* connObject, unsigned char* pData, int dataLen,
                        void* associateObject);
    static void _onChanged(const char* pathScheme, int change, void* associateObject);

    // ---- virtual operations, in slot order
    void setError(int err, char* message, void* env) override;
    virtual bool _open(const char* path, const CRConfigTable* config);
    // Takes ownership of an opened connection (null allowed), registers the
    // reader's callbacks with it and copies the row; what _open does after
    // opening the connection for its path. Returns whether conn was set.
    bool adoptConnection(iConnection* conn, const CRConfigTable* config);
    virtual void afterOpen();
    virtual bool composeCommand(unsigned char* hexCmd, int hexCmdLen, unsigned char* buffer,
                                int* bufferLen);
    virtual void getMSRResult(const unsigned char* data, int dataLen);
    virtual void updateData() REQUIRES(cardLock);
    virtual void extractData() REQUIRES(cardLock);
    virtual void copyToMsr() REQUIRES(cardLock);
    virtual void close();
    virtual void clear();
    virtual bool isConnected();
    virtual int sendCommand(unsigned char* command, int commandLength);
    virtual int waitForCommand();
    // Reads the response into buf (capacity BufferLength).
    virtual int getResponse(unsigned char* buf, int BufferLength);
    // Reads the response into buf; *BufferLength is the capacity on entry and
    // the response length on return.
    virtual int getResponse(unsigned char* buf, int* BufferLength);
    virtual CardText getMsrRawData();
    virtual CardText getRawData();
    // Empties the connection's raw data store; a host call to discard the
    // raw reports would reach it (no exported function does today).
    virtual void clearRawData();
    virtual int getResultCode();
    virtual void setResultCode(int code);
    // The reader's own result code of the last exchange (Exchange::readerCode).
    int readerResultCode() const { return m_readerCode.load(); }
    // For a command refused before any exchange: no answer of the reader.
    void forgetReaderResultCode() { m_readerCode.store(-1); }
    virtual void onData(iConnection* connObject, unsigned char* pData, int dataLen);
    virtual void onChanged(const char* pathScheme, int change);
    // Decodes a response in buf (BufferLength bytes) into upper-case hex in
    // out, whose capacity is *outLen on entry; *outLen is the hex length on
    // return. Returns the response's result code, or a status. A decoder
    // that accepts the answer stores the reader's result code in
    // m_readerCode; a refusal leaves it at -1.
    virtual int MakeHexStringFromResponse(unsigned char* buf, int BufferLength, char* out,
                                          int* outLen);
    virtual CardText GetCardDataStr(const char* lpStrFieldDelimiter);
    // The same text written into out, reusing its storage.
    void GetCardDataStr(const char* lpStrFieldDelimiter, CardText& out);

    // Busy marker of synchronous Ex commands: 1 while one runs.
    std::atomic<int> flag{0};
    // The exchange lock: one command exchange at a time on this reader,
    // whoever sends it (see the top of this file).
    Mutex lock;
    // The reader's copy of its device-table row; zeros without a row.
    CRConfigTable configTable;

    // Calls fn(delegate) under delegateLock when a delegate is attached, so
    // the delegate cannot be detached and destroyed while fn runs.
    template <typename Fn>
    void withDelegate(Fn&& fn) {
        MutexLock guard(delegateLock);
        if (_delegate != nullptr) {
            fn(_delegate);
        }
    }

protected:
    // The plain command frame of a hex text (up to its NUL): buffer[1]
    // command byte, buffer[2] data length, data from buffer[3]; buffer[0] is
    // left as the caller set it. *bufferLen is the capacity on entry and the
    // frame length on return. False for null arguments, text of more than
    // workArea byte pairs, no byte, more than 255 data bytes, or a frame that
    // does not fit. Each model's composeCommand frames through it.
    static bool composePlainFrame(const unsigned char* hexCmd, size_t workArea,
                                  unsigned char* buffer, int* bufferLen);
    // A plain response frame (report ID, result code, data length L, data)
    // of length bytes that holds fewer than its L data bytes: cut short.
    static bool cutShort(const unsigned char* frame, int length);

    // The connection, or null; owned.
    iConnection* getConnection() { return connection.get(); }

    RecursiveMutex delegateLock;
    Strivo_Delegate* _delegate GUARDED_BY(delegateLock) = nullptr;  // not owned
    RawDataStore msrRawData;
    Mutex cardLock;  // guards cardData, rawData and m_clears
    CardDataBox<ZDMSRDATA> m_cardDataBox;
    CardDataBox<ZEDRADATA> m_rawDataBox;
    ZDMSRDATA& cardData GUARDED_BY(cardLock) = *m_cardDataBox;
    // Number of clear() calls; a decoded record is reported only when no
    // clear() came between its decoding and the report.
    unsigned long m_clears GUARDED_BY(cardLock) = 0;
    unsigned long clearsSince(unsigned long before) {
        MutexLock guard(cardLock);
        return m_clears - before;
    }
    std::unique_ptr<iConnection> connection;
    Mutex m_connectionLock;                    // see the top of this file
    std::atomic<bool> m_connected{false};      // connection is set
    bool m_shutDown GUARDED_BY(lock) = false;  // closed: exchanges answer 5
    std::shared_ptr<Mutex> m_deviceLock;       // set before the reader is shared
    std::atomic<int> resultCode{0};
    // The reader's own code of the last exchange, -1 while none was decoded
    // (see Exchange::readerCode); reset by runExchange, set by the decoders.
    std::atomic<int> m_readerCode{-1};
    ZEDRADATA& rawData GUARDED_BY(cardLock) = *m_rawDataBox;
    // Wipes the raw record but for the product ID it keeps for good.
    void wipeRawRecord() REQUIRES(cardLock);

private:
    // Large enough for the longest collected extended response (32,768 data
    // bytes in 61-byte packets).
    static constexpr int RESPONSE_BUFFER_SIZE = 65536;
    // Bytes of an answer area cleared after every command at least.
    static constexpr int ANSWER_HEADER_BYTES = 64;
    // The answer areas of runExchange.
    ZeroedBufferPool m_responseAreas{RESPONSE_BUFFER_SIZE};
};

}  // namespace quorin
