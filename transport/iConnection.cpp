#include "transport/iConnection.h"

#include <strings.h>

#include <cstdio>
#include <cstring>

#include "common/MutexLock.h"
#include "common/ResultCode.h"
#include "transport/HIDConnection.h"
#include "transport/SerialConnection.h"

namespace quorin {

iConnection::iConnection() {
    setScheme("dummy");
}

iConnection::~iConnection() {
    {
        MutexLock guard(callbackLock);
        errPipe = nullptr;
    }
    iConnection::close();
    RawDataStore::clear();
}

iConnection* iConnection::open(const char* pathScheme) {
    if (pathScheme == nullptr || pathScheme[0] == '\0') {
        pathScheme = "HID://";
    }
    if (iConnection* hid = HIDConnection::open(pathScheme)) {
        return hid;
    }
    return SerialConnection::open(pathScheme);
}

std::string iConnection::deviceOf(const char* pathScheme) {
    if (SerialOptions::hasScheme(pathScheme)) {
        return SerialConnection::deviceOf(pathScheme);
    }
    return HIDConnection::deviceOf(pathScheme);
}

int iConnection::enumDevices(iConnectionEnumDevice funcFoundDevice) {
    return HIDConnection::enumDevices(funcFoundDevice);
}

bool iConnection::iConnectionDefEnumDevice(const char* /*pathScheme*/, void* /*extraInfo*/) {
    return false;
}

void iConnection::close() {}

const char* iConnection::getScheme() {
    return szScheme;
}

bool iConnection::isMe(const char* path) {
    if (path == nullptr) {
        return false;
    }
    // Comparing over the longer length means a prefix never matches.
    return strcasecmp(path, szScheme) == 0;
}

int iConnection::send(char* /*pData*/, int /*dataLen*/, int /*type*/) {
    return 0;
}

int iConnection::receive(unsigned char* /*pData*/, int* /*dataLen*/) {
    return 0;
}

void iConnection::registerOnDataEvent(iConnectionOnData funcOnData, void* param) {
    MutexLock guard(callbackLock);
    fnOnData = funcOnData;
    onDataParam = param;
}

iConnection::Registrations iConnection::registrations() {
    MutexLock guard(callbackLock);
    return {fnOnData, onDataParam, fnDeviceChanged, onDeviceChangedParam};
}

void iConnection::deliverData(unsigned char* data, int dataLen) {
    Registrations r = registrations();
    if (r.onData != nullptr) {
        r.onData(this, data, dataLen, r.onDataParam);
    }
}

void iConnection::deliverChanged(int change) {
    Registrations r = registrations();
    if (r.changed != nullptr) {
        r.changed(getScheme(), change, r.changedParam);
    }
}

bool iConnection::hasDataCallback() {
    MutexLock guard(callbackLock);
    return fnOnData != nullptr;
}

int iConnection::getDeviceInfoEx(void* /*param*/) {
    return 7;
}

int iConnection::getDefaultGuardingTime() {
    return 0;
}

void iConnection::registerConnectionChanged(iConnectionChanged funcConnectionChanged, void* param) {
    MutexLock guard(callbackLock);
    fnDeviceChanged = funcConnectionChanged;
    onDeviceChangedParam = param;
}

void iConnection::setErrorHandler(ErrorHandler* errHandler) {
    MutexLock guard(callbackLock);
    errPipe = errHandler;
}

void iConnection::deliverError(const char* text) {
    ErrorHandler* handler;
    {
        MutexLock guard(callbackLock);
        handler = errPipe;
    }
    if (handler != nullptr) {
        char message[128];
        std::snprintf(message, sizeof(message), "%s", text);
        handler->setError(RC_TRANSFER_FAILED, message, nullptr);
    }
}

void iConnection::setScheme(const char* text) {
    std::memset(szScheme, 0, sizeof(szScheme));
    if (text != nullptr) {
        std::strncpy(szScheme, text, sizeof(szScheme) - 1);
    }
}

}  // namespace quorin
