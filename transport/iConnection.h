// The abstract link between a reader object and its device.
//
// Contract for implementers:
//  - open() (the static factory) returns a fully opened connection or null;
//    a half-opened object is never handed out. The caller owns the result and
//    closes the device by destroying it.
//  - Incoming unsolicited data (swipes, notifications) is delivered on the
//    connection's own receiving thread through the data callback, once per
//    report (HID) or per decoded frame (serial). The connection-changed
//    callback runs on that thread too, when the link is lost (change code 1).
//    Neither callback may destroy the connection it is called from.
//  - The destructor stops the receiving thread and waits for it to leave
//    before the device and the buffers go, so no callback runs afterwards.
//  - send()/receive() are called from host or worker threads and return a
//    status: 0 success, 5 closed, 17 transfer failed, others per transport.
#pragma once

#include <mutex>
#include <string>

#include "common/MutexLock.h"
#include "transport/ErrorHandler.h"
#include "transport/RawDataStore.h"
#include "transport/iDecoder.h"

namespace quorin {

class iConnection;

// Called on the receiving thread once per received report or frame.
typedef void (*iConnectionOnData)(iConnection* conn, unsigned char* data, int dataLen, void* param);
// Called once per recognised device during enumeration; true ends it.
typedef bool (*iConnectionEnumDevice)(const char* pathScheme, void* extraInfo);
// Called on the receiving thread when the link is lost.
typedef void (*iConnectionChanged)(const char* pathScheme, int change, void* param);

// Handed to the enumeration callback; valid only during the call.
typedef struct DeviceExtraInfo_tag {
    int size;                  // always 32; receivers ignore other values
    unsigned int InfoId;       // USB product ID
    const char* SerialNumber;  // narrow text, "" when the device reports none
    const char* TypePrefix;    // "HID://"
    const char* Path;          // hidapi device path
} DeviceExtraInfo;

class iConnection : public iDecoder, public RawDataStore {
public:
    static constexpr int CHANGE_READ_FAILED = 1;

    iConnection();
    ~iConnection() override;
    iConnection(const iConnection&) = delete;
    iConnection& operator=(const iConnection&) = delete;

    // Opens the connection that the path's scheme names ("HID://", "SERIAL://");
    // a null or empty path means "HID://", which names no device. Null on failure.
    static iConnection* open(const char* pathScheme);
    // The device that open(pathScheme) would open, in one form whatever name
    // the path uses for it, so two paths of one reader compare equal: see
    // HIDConnection::deviceOf and SerialConnection::deviceOf. "" when the
    // path names no device. Opens nothing.
    static std::string deviceOf(const char* pathScheme);
    // Enumerates attached USB readers (serial ports are not enumerated).
    // Returns 1 when at least one known reader was seen, else 0.
    static int enumDevices(iConnectionEnumDevice funcFoundDevice);
    // A do-nothing per-device callback, for an enumeration whose caller only
    // wants enumDevices' result; the library's own enumerations pass theirs.
    static bool iConnectionDefEnumDevice(const char* pathScheme, void* extraInfo);

    virtual void close();
    virtual const char* getScheme();
    // True when path equals the scheme text, case ignored.
    virtual bool isMe(const char* path);
    // Writes a message; type 1 is a command (a feature report on HID).
    virtual int send(char* pData, int dataLen, int type);
    // Reads a synchronous response. On entry pData[0] may select what to read
    // and *dataLen is the capacity of pData; on success *dataLen is the count.
    virtual int receive(unsigned char* pData, int* dataLen);
    virtual void registerOnDataEvent(iConnectionOnData funcOnData, void* param);
    virtual int getDeviceInfoEx(void* param);
    // A link that needs a pause between commands would answer it here and
    // the command path would wait that long; no connection needs one today.
    virtual int getDefaultGuardingTime();

    void registerConnectionChanged(iConnectionChanged funcConnectionChanged, void* param);
    void setErrorHandler(ErrorHandler* errHandler);
    // Ends the exchange in flight at once: a receive waiting for an answer
    // returns 5, and every later send and receive answers 5. A close calls
    // it before it waits for the exchange, so a silent reader cannot hold a
    // close for the whole command time-out. Any thread. The default does
    // nothing: a link whose transfers never wait for the reader (HID feature
    // reports) lets the exchange finish.
    virtual void interrupt() {}

protected:
    void setScheme(const char* text);
    // Receiving-thread side of the callbacks: each takes a consistent copy of
    // the registration and calls it without holding any lock.
    void deliverData(unsigned char* data, int dataLen);
    void deliverChanged(int change);
    // Tells the error handler that received data was dropped (code 17).
    void deliverError(const char* text);
    bool hasDataCallback();

    Mutex callbackLock;  // guards the registration fields below
    iConnectionOnData fnOnData GUARDED_BY(callbackLock) = nullptr;
    void* onDataParam GUARDED_BY(callbackLock) = nullptr;
    iConnectionChanged fnDeviceChanged GUARDED_BY(callbackLock) = nullptr;
    void* onDeviceChangedParam GUARDED_BY(callbackLock) = nullptr;
    char szScheme[256];  // set before the receiving thread starts, then read-only
    ErrorHandler* errPipe GUARDED_BY(callbackLock) = nullptr;

private:
    // A copy of the four registration fields, taken under callbackLock.
    struct Registrations {
        iConnectionOnData onData;
        void* onDataParam;
        iConnectionChanged changed;
        void* changedParam;
    };
    Registrations registrations();
};

}  // namespace quorin
