// Exported callback registrations of the three generations.
#include "Quorin.h"
#include "api/DeviceListMonitor.h"
#include "api/LocalDelegate.h"
#include "api/ReaderSession.h"
#include "common/Guard.h"

using quorin::DeviceListMonitor;
using quorin::guarded;
using quorin::guardedVoid;
using quorin::localDelegate;
using quorin::LocalDelegateEx;
using quorin::ReaderSession;

namespace {

// Stores a registration with the Ex delegate of an open handle; an unknown or
// closed handle changes nothing.
template <typename Callback>
void registerEx(unsigned long handle, void (LocalDelegateEx::*set)(Callback, void*), Callback fn,
                void* obj) {
    guardedVoid([&] {
        ReaderSession::instance().withExDelegate(handle,
                                                 [&](LocalDelegateEx& d) { (d.*set)(fn, obj); });
    });
}

}  // namespace

extern "C" {

QUORIN_API void OnDataReceived(CallBackOnCardDataReceived lpFuncNotify) {
    localDelegate().setCardDataReceived(lpFuncNotify);
}

QUORIN_API void OnDeviceConnectionStateChanged(CallBackDeviceStateChanged lpFuncNotify) {
    localDelegate().setDeviceConnectionChanged(lpFuncNotify);
}

QUORIN_API void QuorinCardDataStateChangedNotify(CallBackCardDataStateChanged lpFuncNotify) {
    localDelegate().setCardChanged(lpFuncNotify);
}

QUORIN_API void QuorinDeviceStateChangedNotify(CallBackDeviceStateChanged lpFuncNotify) {
    localDelegate().setDeviceChanged(lpFuncNotify);
}

QUORIN_API void OnDeviceResponse(CallBackOnDeviceResponse sendDataCallbackProc) {
    localDelegate().setDeviceResponse(sendDataCallbackProc);
}

QUORIN_API void OnError(CallBackOnDeviceResponse OnErrorProc) {
    localDelegate().setError(OnErrorProc);
}

QUORIN_API void OnNotification(CallBackOnNotification OnNotifyProc) {
    localDelegate().setNotification(OnNotifyProc);
}

QUORIN_API void OnTransactionStatus(CallBackOnDeviceResponse notif) {
    localDelegate().setTransactionStatus(notif);
}

QUORIN_API void OnDisplayMessageRequest(CallBackOnDeviceResponse notif) {
    localDelegate().setDisplayMessageRequest(notif);
}

QUORIN_API void OnUserSelectionRequest(CallBackOnDeviceResponse notif) {
    localDelegate().setUserSelectionRequest(notif);
}

QUORIN_API void OnARQCReceived(CallBackOnDeviceResponse notif) {
    localDelegate().setARQCReceived(notif);
}

QUORIN_API void OnTransactionResult(CallBackOnDeviceResponse notif) {
    localDelegate().setTransactionResult(notif);
}

QUORIN_API void OnDeviceExtendedResponse(
    CallBackOnDeviceExtendedResponse sendExtendedCommandCallbackProc) {
    localDelegate().setDeviceExtendedResponse(sendExtendedCommandCallbackProc);
}

QUORIN_API void OnDataReceivedEx(unsigned long Handle, CallBackOnCardDataReceivedEx lpFuncNotify,
                                 void* Obj) {
    registerEx(Handle, &LocalDelegateEx::setCardDataReceived, lpFuncNotify, Obj);
}

QUORIN_API void OnDeviceConnectionStateChangedEx(unsigned long Handle,
                                                 CallBackDeviceStateChangedEx lpFuncNotify,
                                                 void* Obj) {
    registerEx(Handle, &LocalDelegateEx::setDeviceConnectionChanged, lpFuncNotify, Obj);
}

QUORIN_API void OnNotificationDataEx(unsigned long Handle, CallBackOnNotificationEx lpFuncNotify,
                                     void* Obj) {
    registerEx(Handle, &LocalDelegateEx::setNotification, lpFuncNotify, Obj);
}

QUORIN_API void OnDeviceResponseEx(unsigned long Handle,
                                   CallBackOnDeviceResponseEx sendDataCallbackProc, void* Obj) {
    registerEx(Handle, &LocalDelegateEx::setDeviceResponse, sendDataCallbackProc, Obj);
}

QUORIN_API void OnErrorEx(unsigned long Handle, CallBackOnDeviceResponseEx OnErrorProc, void* Obj) {
    registerEx(Handle, &LocalDelegateEx::setError, OnErrorProc, Obj);
}

QUORIN_API long OnDeviceListChanged(CallBackDeviceListChanged lpFuncNotify, void* Obj) {
    return guarded(1L,
                   [&] { return DeviceListMonitor::instance().setCallback(lpFuncNotify, Obj); });
}

}  // extern "C"
