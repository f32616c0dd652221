// The delegate of one Ex reader. Created when the reader is opened and
// destroyed when it is closed; every host callback gets the reader's handle
// and the object pointer the host registered with it.
#pragma once

#include <string>

#include "Quorin.h"
#include "api/DelegateCore.h"

namespace quorin {

class LocalDelegateEx : public DelegateCore {
public:
    void OnError(Strivo* mag, int err, char* errString) override;
    void OnDeviceChange(Strivo* mag, EDeviceStateValues status) override;
    void OnCardUpdate(Strivo* msc, ECardDataStateValues status) override;
    void OnNotification(Strivo* mag, unsigned short messageId, const unsigned char* data,
                        int dataLen) override;
    void OnDeviceResponse(Strivo* mag, const char* resp) override;
    void OnJsonDataUpdate(Strivo* mag, std::string jsonData);

    // The handle the session gave the reader; passed to every callback.
    // Set before the delegate is attached.
    void setHandle(unsigned long handle) { m_handle = handle; }
    unsigned long handle() const { return m_handle; }

    void setCardDataReceived(CallBackOnCardDataReceivedEx fn, void* obj);
    void setDeviceConnectionChanged(CallBackDeviceStateChangedEx fn, void* obj);
    void setNotification(CallBackOnNotificationEx fn, void* obj);
    void setDeviceResponse(CallBackOnDeviceResponseEx fn, void* obj);
    void setError(CallBackOnDeviceResponseEx fn, void* obj);

protected:
    void reportDropped() override;

private:
    unsigned long m_handle = 0;

    template <typename F>
    struct Callback {
        F fn = nullptr;
        void* obj = nullptr;
    };

    // Host callbacks, guarded by callbackLock. Only five have a registration
    // function; the others stay empty, so their events call nothing.
    Callback<CallBackOnCardDataReceivedEx> fnCardDataReceived;
    Callback<CallBackDeviceStateChangedEx> fnOnDeviceConnectionChanged;
    Callback<CallBackCardDataStateChangedEx> fnCardChanged;
    Callback<CallBackDeviceStateChangedEx> fnDeviceChanged;
    Callback<CallBackOnDeviceResponseEx> fnOnDeviceResponse;
    Callback<CallBackOnDeviceResponseEx> fnOnError;
    Callback<CallBackOnNotificationEx> fnOnNotification;
    Callback<CallBackOnDeviceResponseEx> fnOnTransactionStatus;
    Callback<CallBackOnDeviceResponseEx> fnOnDisplayMessageRequest;
    Callback<CallBackOnDeviceResponseEx> fnOnUserSelectionRequest;
    Callback<CallBackOnDeviceResponseEx> fnOnARQCReceived;
    Callback<CallBackOnDeviceResponseEx> fnOnTransactionResult;
    Callback<CallBackOnDeviceResponseEx> fnOnJsonData;
    Callback<CallBackOnDeviceExtendedResponseEx> fnOnDeviceExtendedResponse;
};

}  // namespace quorin
