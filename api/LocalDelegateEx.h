// The delegate of one Ex reader. Created when the reader is opened and
// destroyed when it is closed; every host callback gets the reader's handle
// and the object pointer the host registered with it. What it does with
// events is DelegateCore's; this class holds the Ex registrations, of which
// there are five (the events of the other callbacks call nothing here).
#pragma once

#include "Quorin.h"
#include "api/DelegateCore.h"

namespace quorin {

class LocalDelegateEx : public DelegateCore {
public:
    LocalDelegateEx() : DelegateCore(true) {}

    void setCardDataReceived(CallBackOnCardDataReceivedEx fn, void* obj) {
        setCallback(CARD_DATA, fn, obj);
    }
    void setDeviceConnectionChanged(CallBackDeviceStateChangedEx fn, void* obj) {
        setCallback(CONNECTION_CHANGED, fn, obj);
    }
    void setNotification(CallBackOnNotificationEx fn, void* obj) {
        setCallback(NOTIFICATION, fn, obj);
    }
    void setDeviceResponse(CallBackOnDeviceResponseEx fn, void* obj) {
        setCallback(DEVICE_RESPONSE, fn, obj);
    }
    void setError(CallBackOnDeviceResponseEx fn, void* obj) { setCallback(ERROR_TEXT, fn, obj); }
};

}  // namespace quorin
