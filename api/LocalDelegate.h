// The delegate of the first and plain generations: one process-wide
// instance serving whichever reader is open. Its callback registrations
// outlive the readers. What it does with events is DelegateCore's; this class
// holds the first generation's registrations.
#pragma once

#include "Quorin.h"
#include "api/DelegateCore.h"

namespace quorin {

class LocalDelegate : public DelegateCore {
public:
    LocalDelegate() : DelegateCore(false) {}

    // An asynchronous command's answer (SendData).
    void OnDeviceResponse(const char* resp) { DelegateCore::OnDeviceResponse(nullptr, resp); }
    using DelegateCore::OnDeviceResponse;

    // Registrations (null unregisters).
    void setCardDataReceived(CallBackOnCardDataReceived fn) { setCallback(CARD_DATA, fn, nullptr); }
    void setDeviceConnectionChanged(CallBackDeviceStateChanged fn) {
        setCallback(CONNECTION_CHANGED, fn, nullptr);
    }
    void setCardChanged(CallBackCardDataStateChanged fn) { setCallback(CARD_CHANGED, fn, nullptr); }
    void setDeviceChanged(CallBackDeviceStateChanged fn) {
        setCallback(DEVICE_CHANGED, fn, nullptr);
    }
    void setDeviceResponse(CallBackOnDeviceResponse fn) {
        setCallback(DEVICE_RESPONSE, fn, nullptr);
    }
    void setError(CallBackOnDeviceResponse fn) { setCallback(ERROR_TEXT, fn, nullptr); }
    void setNotification(CallBackOnNotification fn) { setCallback(NOTIFICATION, fn, nullptr); }
    void setTransactionStatus(CallBackOnDeviceResponse fn) {
        setCallback(TRANSACTION_STATUS, fn, nullptr);
    }
    void setDisplayMessageRequest(CallBackOnDeviceResponse fn) {
        setCallback(DISPLAY_MESSAGE, fn, nullptr);
    }
    void setUserSelectionRequest(CallBackOnDeviceResponse fn) {
        setCallback(USER_SELECTION, fn, nullptr);
    }
    void setARQCReceived(CallBackOnDeviceResponse fn) { setCallback(ARQC_RECEIVED, fn, nullptr); }
    void setTransactionResult(CallBackOnDeviceResponse fn) {
        setCallback(TRANSACTION_RESULT, fn, nullptr);
    }
    void setDeviceExtendedResponse(CallBackOnDeviceExtendedResponse fn) {
        setCallback(EXTENDED_RESPONSE, fn, nullptr);
    }
};

// The process-wide first-generation delegate.
LocalDelegate& localDelegate();
// The same, or null when nothing has made it yet (for the unload, which must
// not make what it would only leak).
LocalDelegate* localDelegateIfMade();

}  // namespace quorin
