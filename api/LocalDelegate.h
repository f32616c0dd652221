// The delegate of the first and plain generations: one process-wide
// instance serving whichever reader is open. Its callback registrations
// outlive the readers.
#pragma once

#include <string>

#include "Quorin.h"
#include "api/DelegateCore.h"

namespace quorin {

class LocalDelegate : public DelegateCore {
public:
    void OnError(Strivo* mag, int err, char* errString) override;
    void OnDeviceChange(Strivo* mag, EDeviceStateValues status) override;
    void OnCardUpdate(Strivo* msc, ECardDataStateValues status) override;
    void OnNotification(Strivo* mag, unsigned short messageId, const unsigned char* data,
                        int dataLen) override;
    void OnDeviceResponse(Strivo* mag, const char* resp) override;
    void OnDeviceResponse(const char* resp);
    void OnJsonDataUpdate(Strivo* mag, std::string jsonData);
    // Hands an extended-command answer to the extended-response callback on
    // a thread of its own.
    void OnExtendedResponse(const std::string& text);

    // Registrations (null unregisters).
    void setCardDataReceived(CallBackOnCardDataReceived fn);
    void setDeviceConnectionChanged(CallBackDeviceStateChanged fn);
    void setCardChanged(CallBackCardDataStateChanged fn);
    void setDeviceChanged(CallBackDeviceStateChanged fn);
    void setDeviceResponse(CallBackOnDeviceResponse fn);
    void setError(CallBackOnDeviceResponse fn);
    void setNotification(CallBackOnNotification fn);
    void setTransactionStatus(CallBackOnDeviceResponse fn);
    void setDisplayMessageRequest(CallBackOnDeviceResponse fn);
    void setUserSelectionRequest(CallBackOnDeviceResponse fn);
    void setARQCReceived(CallBackOnDeviceResponse fn);
    void setTransactionResult(CallBackOnDeviceResponse fn);
    void setDeviceExtendedResponse(CallBackOnDeviceExtendedResponse fn);

protected:
    void reportDropped() override;

private:
    // Host callbacks, guarded by callbackLock.
    CallBackOnCardDataReceived fnCardDataReceived = nullptr;
    CallBackDeviceStateChanged fnOnDeviceConnectionChanged = nullptr;
    CallBackCardDataStateChanged fnCardChanged = nullptr;
    CallBackDeviceStateChanged fnDeviceChanged = nullptr;
    CallBackOnDeviceResponse fnOnDeviceResponse = nullptr;
    CallBackOnDeviceResponse fnOnError = nullptr;
    CallBackOnNotification fnOnNotification = nullptr;
    CallBackOnDeviceResponse fnOnTransactionStatus = nullptr;
    CallBackOnDeviceResponse fnOnDisplayMessageRequest = nullptr;
    CallBackOnDeviceResponse fnOnUserSelectionRequest = nullptr;
    CallBackOnDeviceResponse fnOnARQCReceived = nullptr;
    CallBackOnDeviceResponse fnOnTransactionResult = nullptr;
    CallBackOnDeviceExtendedResponse fnOnDeviceExtendedResponse = nullptr;
};

// The process-wide first-generation delegate.
LocalDelegate& localDelegate();
// The same, or null when nothing has made it yet (for the unload, which must
// not make what it would only leak).
LocalDelegate* localDelegateIfMade();

}  // namespace quorin
