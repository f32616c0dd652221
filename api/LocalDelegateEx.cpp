#include "api/LocalDelegateEx.h"

#include <utility>

#include "api/NotificationText.h"
#include "reader/Strivo.h"

namespace quorin {

void LocalDelegateEx::OnError(Strivo* /*mag*/, int /*err*/, char* errString) {
    Callback<CallBackOnDeviceResponseEx> cb;
    {
        std::lock_guard<std::mutex> guard(callbackLock);
        cb = fnOnError;
    }
    if (cb.fn != nullptr) {
        cb.fn(m_handle, cb.obj, errString != nullptr ? errString : "");
    }
}

void LocalDelegateEx::reportDropped() {
    OnError(nullptr, 17, const_cast<char*>(DROPPED_TEXT));
}

void LocalDelegateEx::OnDeviceChange(Strivo* /*mag*/, EDeviceStateValues status) {
    if (!recordDeviceState(status)) {
        return;
    }
    Callback<CallBackDeviceStateChangedEx> connection;
    Callback<CallBackDeviceStateChangedEx> device;
    {
        std::lock_guard<std::mutex> guard(callbackLock);
        connection = fnOnDeviceConnectionChanged;
        device = fnDeviceChanged;
    }
    auto states = m_states;
    unsigned long handle = m_handle;
    for (const auto& cb : {connection, device}) {
        if (cb.fn != nullptr) {
            post([cb, handle, states] { cb.fn(handle, cb.obj, states->deviceState.load()); });
        }
    }
}

void LocalDelegateEx::OnCardUpdate(Strivo* msc, ECardDataStateValues status) {
    m_states->cardDataState.store(status);
    if (status != ZEDRA_DATA_READY && msc != nullptr) {
        msc->clear();
    }
    Callback<CallBackCardDataStateChangedEx> changed;
    Callback<CallBackOnCardDataReceivedEx> received;
    {
        std::lock_guard<std::mutex> guard(callbackLock);
        changed = fnCardChanged;
        received = fnCardDataReceived;
    }
    auto states = m_states;
    unsigned long handle = m_handle;
    if (changed.fn != nullptr) {
        post([changed, handle, states] {
            changed.fn(handle, changed.obj, states->cardDataState.load());
        });
    }
    if (received.fn != nullptr && status == ZEDRA_DATA_READY && msc != nullptr) {
        // Built now, from the record just decoded: the thread never touches
        // the reader, which may be closed before it runs.
        std::string text = states->takeSpareText();
        msc->GetCardDataStr("|", text);
        post([received, handle, states, text = std::move(text)]() mutable {
            received.fn(handle, received.obj, text.c_str());
            states->keepSpareText(std::move(text));
        });
    }
}

void LocalDelegateEx::OnNotification(Strivo* /*mag*/, unsigned short messageId,
                                     const unsigned char* data, int dataLen) {
    std::string hex = queueNotification(messageId, data, dataLen);
    Callback<CallBackOnNotificationEx> general;
    Callback<CallBackOnDeviceResponseEx> transaction;
    Callback<CallBackOnDeviceExtendedResponseEx> extended;
    {
        std::lock_guard<std::mutex> guard(callbackLock);
        general = fnOnNotification;
        extended = fnOnDeviceExtendedResponse;
        transaction = pickTransactionCallback(messageId, fnOnTransactionStatus,
                                              fnOnDisplayMessageRequest, fnOnUserSelectionRequest,
                                              fnOnARQCReceived, fnOnTransactionResult);
    }
    unsigned long handle = m_handle;
    if (general.fn != nullptr) {
        unsigned int id = messageId;
        post([general, handle, id, hex] { general.fn(handle, general.obj, id, hex.c_str()); });
    }
    if (transactionCallbackIndex(messageId) >= 0) {
        if (transaction.fn != nullptr) {
            post([transaction, handle, hex] {
                transaction.fn(handle, transaction.obj, hex.c_str());
            });
        }
        return;
    }
    if (extended.fn != nullptr) {
        std::string text = extendedResponseText(messageId, hex);
        post([extended, handle, text] { extended.fn(handle, extended.obj, text.c_str()); });
    }
}

void LocalDelegateEx::OnDeviceResponse(Strivo* /*mag*/, const char* resp) {
    Callback<CallBackOnDeviceResponseEx> cb;
    {
        std::lock_guard<std::mutex> guard(callbackLock);
        cb = fnOnDeviceResponse;
    }
    if (cb.fn != nullptr) {
        unsigned long handle = m_handle;
        std::string text = resp != nullptr ? resp : "";
        post([cb, handle, text] { cb.fn(handle, cb.obj, text.c_str()); });
    }
}

void LocalDelegateEx::OnJsonDataUpdate(Strivo* /*mag*/, std::string jsonData) {
    Callback<CallBackOnDeviceResponseEx> cb;
    {
        std::lock_guard<std::mutex> guard(callbackLock);
        cb = fnOnJsonData;
    }
    if (cb.fn != nullptr) {
        unsigned long handle = m_handle;
        post([cb, handle, jsonData] { cb.fn(handle, cb.obj, jsonData.c_str()); });
    }
}

#define QUORIN_SETTER(name, type, field)                 \
    void LocalDelegateEx::name(type fn, void* obj) {     \
        std::lock_guard<std::mutex> guard(callbackLock); \
        field.fn = fn;                                   \
        field.obj = obj;                                 \
    }

QUORIN_SETTER(setCardDataReceived, CallBackOnCardDataReceivedEx, fnCardDataReceived)
QUORIN_SETTER(setDeviceConnectionChanged, CallBackDeviceStateChangedEx, fnOnDeviceConnectionChanged)
QUORIN_SETTER(setNotification, CallBackOnNotificationEx, fnOnNotification)
QUORIN_SETTER(setDeviceResponse, CallBackOnDeviceResponseEx, fnOnDeviceResponse)
QUORIN_SETTER(setError, CallBackOnDeviceResponseEx, fnOnError)

#undef QUORIN_SETTER

}  // namespace quorin
