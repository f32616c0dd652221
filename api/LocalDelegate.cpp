#include "api/LocalDelegate.h"

#include <atomic>
#include <utility>

#include "api/NotificationText.h"
#include "reader/Strivo.h"

namespace quorin {

namespace {
std::atomic<LocalDelegate*> g_localDelegate{nullptr};
}

LocalDelegate& localDelegate() {
    // Never destroyed: detached callback threads and readers closed at unload
    // may still reach it.
    static LocalDelegate* instance = [] {
        auto* made = new LocalDelegate();
        g_localDelegate.store(made);
        return made;
    }();
    return *instance;
}

LocalDelegate* localDelegateIfMade() {
    return g_localDelegate.load();
}

void LocalDelegate::OnError(Strivo* /*mag*/, int /*err*/, char* errString) {
    CallBackOnDeviceResponse fn;
    {
        std::lock_guard<std::mutex> guard(callbackLock);
        fn = fnOnError;
    }
    if (fn != nullptr) {
        fn(errString != nullptr ? errString : "");
    }
}

void LocalDelegate::reportDropped() {
    OnError(nullptr, 17, const_cast<char*>(DROPPED_TEXT));
}

void LocalDelegate::OnDeviceChange(Strivo* /*mag*/, EDeviceStateValues status) {
    if (!recordDeviceState(status)) {
        return;
    }
    CallBackDeviceStateChanged connection;
    CallBackDeviceStateChanged device;
    {
        std::lock_guard<std::mutex> guard(callbackLock);
        connection = fnOnDeviceConnectionChanged;
        device = fnDeviceChanged;
    }
    auto states = m_states;
    if (connection != nullptr) {
        post([connection, states] { connection(states->deviceState.load()); });
    }
    if (device != nullptr) {
        post([device, states] { device(states->deviceState.load()); });
    }
}

void LocalDelegate::OnCardUpdate(Strivo* msc, ECardDataStateValues status) {
    m_states->cardDataState.store(status);
    if (status != ZEDRA_DATA_READY && msc != nullptr) {
        msc->clear();
    }
    CallBackCardDataStateChanged changed;
    CallBackOnCardDataReceived received;
    {
        std::lock_guard<std::mutex> guard(callbackLock);
        changed = fnCardChanged;
        received = fnCardDataReceived;
    }
    auto states = m_states;
    if (changed != nullptr) {
        post([changed, states] { changed(states->cardDataState.load()); });
    }
    if (received != nullptr && status == ZEDRA_DATA_READY && msc != nullptr) {
        // The text is built here, from the record just decoded, so the thread
        // never needs the reader (which may be closed before it runs).
        std::string text = states->takeSpareText();
        msc->GetCardDataStr("|", text);
        post([received, states, text = std::move(text)]() mutable {
            received(text.c_str());
            states->keepSpareText(std::move(text));
        });
    }
}

void LocalDelegate::OnNotification(Strivo* /*mag*/, unsigned short messageId,
                                   const unsigned char* data, int dataLen) {
    std::string hex = queueNotification(messageId, data, dataLen);
    CallBackOnNotification general;
    CallBackOnDeviceResponse transaction = nullptr;
    CallBackOnDeviceExtendedResponse extended;
    {
        std::lock_guard<std::mutex> guard(callbackLock);
        general = fnOnNotification;
        extended = fnOnDeviceExtendedResponse;
        transaction = pickTransactionCallback(messageId, fnOnTransactionStatus,
                                              fnOnDisplayMessageRequest, fnOnUserSelectionRequest,
                                              fnOnARQCReceived, fnOnTransactionResult);
    }
    if (general != nullptr) {
        unsigned int id = messageId;
        post([general, id, hex] { general(id, hex.c_str()); });
    }
    if (transactionCallbackIndex(messageId) >= 0) {
        if (transaction != nullptr) {
            post([transaction, hex] { transaction(hex.c_str()); });
        }
        return;
    }
    if (extended != nullptr) {
        std::string text = extendedResponseText(messageId, hex);
        post([extended, text] { extended(text.c_str()); });
    }
}

void LocalDelegate::OnDeviceResponse(Strivo* /*mag*/, const char* resp) {
    OnDeviceResponse(resp);
}

void LocalDelegate::OnDeviceResponse(const char* resp) {
    CallBackOnDeviceResponse fn;
    {
        std::lock_guard<std::mutex> guard(callbackLock);
        fn = fnOnDeviceResponse;
    }
    if (fn != nullptr) {
        std::string text = resp != nullptr ? resp : "";
        post([fn, text] { fn(text.c_str()); });
    }
}

void LocalDelegate::OnExtendedResponse(const std::string& text) {
    CallBackOnDeviceExtendedResponse fn;
    {
        std::lock_guard<std::mutex> guard(callbackLock);
        fn = fnOnDeviceExtendedResponse;
    }
    if (fn != nullptr) {
        post([fn, text] { fn(text.c_str()); });
    }
}

void LocalDelegate::OnJsonDataUpdate(Strivo* /*mag*/, std::string /*jsonData*/) {}

#define QUORIN_SETTER(name, type, field)                 \
    void LocalDelegate::name(type fn) {                  \
        std::lock_guard<std::mutex> guard(callbackLock); \
        field = fn;                                      \
    }

QUORIN_SETTER(setCardDataReceived, CallBackOnCardDataReceived, fnCardDataReceived)
QUORIN_SETTER(setDeviceConnectionChanged, CallBackDeviceStateChanged, fnOnDeviceConnectionChanged)
QUORIN_SETTER(setCardChanged, CallBackCardDataStateChanged, fnCardChanged)
QUORIN_SETTER(setDeviceChanged, CallBackDeviceStateChanged, fnDeviceChanged)
QUORIN_SETTER(setDeviceResponse, CallBackOnDeviceResponse, fnOnDeviceResponse)
QUORIN_SETTER(setError, CallBackOnDeviceResponse, fnOnError)
QUORIN_SETTER(setNotification, CallBackOnNotification, fnOnNotification)
QUORIN_SETTER(setTransactionStatus, CallBackOnDeviceResponse, fnOnTransactionStatus)
QUORIN_SETTER(setDisplayMessageRequest, CallBackOnDeviceResponse, fnOnDisplayMessageRequest)
QUORIN_SETTER(setUserSelectionRequest, CallBackOnDeviceResponse, fnOnUserSelectionRequest)
QUORIN_SETTER(setARQCReceived, CallBackOnDeviceResponse, fnOnARQCReceived)
QUORIN_SETTER(setTransactionResult, CallBackOnDeviceResponse, fnOnTransactionResult)
QUORIN_SETTER(setDeviceExtendedResponse, CallBackOnDeviceExtendedResponse,
              fnOnDeviceExtendedResponse)

#undef QUORIN_SETTER

}  // namespace quorin
