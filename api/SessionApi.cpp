// Exported session functions: list, open, close, connected, product ID, and
// the result ring. Plain-generation forwards sit next to the first-generation
// function they forward to.
#include "Quorin.h"
#include "api/LocalDelegate.h"
#include "api/ReaderSession.h"
#include "common/Guard.h"

using quorin::guarded;
using quorin::guardedVoid;
using quorin::localDelegate;
using quorin::ReaderSession;

extern "C" {

QUORIN_API char* QuorinGetDeviceList(void) {
    static char empty[1] = {0};
    return guarded(empty, [] { return ReaderSession::instance().enumerate(); });
}

QUORIN_API const char* GetDeviceList(void) {
    return QuorinGetDeviceList();
}

QUORIN_API long QuorinOpenDevice(char* lpDeviceName) {
    return guarded(1L, [&] { return ReaderSession::instance().openFirst(lpDeviceName); });
}

QUORIN_API long OpenDevice(const char* lpDeviceName) {
    return guarded(1L, [&] { return ReaderSession::instance().openFirst(lpDeviceName); });
}

QUORIN_API long QuorinCloseDevice(void) {
    guardedVoid([] { ReaderSession::instance().closeFirst(); });
    return 0;
}

QUORIN_API void CloseDevice(void) {
    QuorinCloseDevice();
}

QUORIN_API int QuorinIsDeviceConnected(void) {
    return guarded(0, [] {
        return ReaderSession::instance().current() &&
                       localDelegate().deviceState() == ZEDRA_STATE_CONNECTED
                   ? 1
                   : 0;
    });
}

QUORIN_API int IsDeviceConnected(void) {
    return QuorinIsDeviceConnected();
}

QUORIN_API void QuorinGetDeviceState(long* lpdwDeviceState) {
    if (lpdwDeviceState != nullptr) {
        *lpdwDeviceState = localDelegate().deviceState();
    }
}

QUORIN_API void QuorinGetCardDataState(long* lpdwCardDataState) {
    if (lpdwCardDataState != nullptr) {
        *lpdwCardDataState = localDelegate().cardDataState();
    }
}

QUORIN_API void QuorinGetPID(long* lpdwPID) {
    if (lpdwPID == nullptr) {
        return;
    }
    *lpdwPID = guarded(0L, [] {
        auto reader = ReaderSession::instance().current();
        long pid = reader ? reader->configTable.dwPID : 0;
        // The Bluetooth variant reports the product ID of its USB sibling.
        return pid == 0x119 ? 0x19L : pid;
    });
}

QUORIN_API unsigned long OpenDeviceEx(const char* lpDeviceName) {
    return guarded(0UL, [&] { return ReaderSession::instance().openEx(lpDeviceName); });
}

QUORIN_API void CloseDeviceEx(unsigned long Handle) {
    guardedVoid([&] { ReaderSession::instance().closeEx(Handle); });
}

QUORIN_API int IsDeviceConnectedEx(unsigned long Handle) {
    return guarded(0, [&] {
        auto reader = ReaderSession::instance().find(Handle);
        return reader && reader->isConnected() ? 1 : 0;
    });
}

QUORIN_API int GetProductIDEx(unsigned long Handle) {
    return guarded(0, [&] {
        auto reader = ReaderSession::instance().find(Handle);
        return reader ? static_cast<int>(reader->configTable.dwPID) : 0;
    });
}

QUORIN_API const char* STATIC_STRING(const char* s) {
    return guarded(static_cast<const char*>(""),
                   [&] { return ReaderSession::instance().staticString(s); });
}

}  // extern "C"
