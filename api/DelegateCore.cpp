#include "api/DelegateCore.h"

#include <algorithm>
#include <cstring>

#include "api/NotificationText.h"
#include "api/ResultRing.h"
#include "common/Diagnostics.h"
#include "common/MutexLock.h"
#include "common/stdafx.h"
#include "reader/Strivo.h"

namespace quorin {

CardText DelegateCore::States::takeSpareText() {
    MutexLock guard(spareLock);
    CardText text = std::move(spareText);
    spareText.clear();
    return text;
}

void DelegateCore::States::keepSpareText(CardText text) {
    // The text is a card's data: it is wiped before its storage waits for
    // the next swipe (on the callback thread, off the swipe's path).
    text.wipeKeepStorage();
    MutexLock guard(spareLock);
    if (text.capacity() > spareText.capacity() && text.capacity() <= MAX_SPARE_TEXT) {
        spareText = std::move(text);
    }
}

namespace {
// One ring index shared by every delegate.
std::atomic<int> g_ringIndex{0};
constexpr size_t LONG_TEXT = 2048;
}  // namespace

DelegateCore::DelegateCore(bool withHandle)
    : m_withHandle(withHandle),
      m_states(std::make_shared<States>()),
      m_callbacks(CallbackQueue::create()) {}

const char* DelegateCore::StaticString(const char* s) {
    ResultRing ring(localBuffer->bytes, sizeof(localBuffer->bytes), g_ringIndex,
                    {99, LOCAL_BUFFER_SIZE - 1, false, LONG_TEXT});
    return ring.copy(s);
}

void DelegateCore::wipeStaticStrings() {
    localBuffer.wipe();
}

void DelegateCore::clearNotify() {
    MutexLock guard(lock);
    notifVector.clear();
    queuedBytes = 0;
}

CardText DelegateCore::waitForNotify() {
    MutexLock guard(lock);
    if (notifVector.empty()) {
        return CardText();
    }
    CardText oldest = std::move(notifVector.front());
    notifVector.erase(notifVector.begin());
    queuedBytes -= oldest.size();
    return oldest;
}

CardText DelegateCore::queueNotification(unsigned short messageId, const unsigned char* data,
                                         int dataLen) {
    // Whole, however long (a notification announces at most 65,535 bytes).
    const long length = std::max(dataLen, 0);
    CardBytes hex(static_cast<size_t>(2 * length + 1), '\0');
    char* digits = reinterpret_cast<char*>(hex.data());
    ByteArrayToHexStr(data, length, digits, static_cast<long>(hex.size()));
    CardText text(digits);
    if (m_withHandle) {
        return text;  // an Ex reader's are not queued: no call takes them out
    }
    CardText queued("code,");
    queued.append(std::to_string(messageId)).append(";data,").append(text);
    MutexLock guard(lock);
    // A host that never takes notifications out must not make the queue
    // grow without bound: the oldest give way.
    while (!notifVector.empty() && (notifVector.size() >= MAX_QUEUED_NOTIFICATIONS ||
                                    queuedBytes + queued.size() > MAX_QUEUED_BYTES)) {
        queuedBytes -= notifVector.front().size();
        notifVector.erase(notifVector.begin());
    }
    queuedBytes += queued.size();
    notifVector.push_back(std::move(queued));
    return text;
}

void DelegateCore::post(CallbackJob job) {
    if (LibraryState::forked()) {
        // The callback threads are the parent's, and their locks may have
        // been held by a parent thread at the fork: nothing is called back.
        return;
    }
    if (m_callbacks->post(std::move(job)) == CallbackQueue::Posted::DROPPED) {
        OnError(nullptr, 17, const_cast<char*>(DROPPED_TEXT));
    }
}

DelegateCore::Registration DelegateCore::registration(Slot slot) {
    MutexLock guard(callbackLock);
    return m_registrations[slot];
}

namespace {
using TextFn = void (*)(const char*);
using TextFnEx = void (*)(unsigned long, void*, const char*);
using StateFn = void (*)(long);
using StateFnEx = void (*)(unsigned long, void*, long);
using NotificationFn = void (*)(unsigned int, const char*);
using NotificationFnEx = void (*)(unsigned long, void*, unsigned int, const char*);
}  // namespace

void DelegateCore::postText(Slot slot, CardText text) {
    const Registration cb = registration(slot);
    if (cb.fn == nullptr) {
        return;
    }
    if (m_withHandle) {
        post([fn = reinterpret_cast<TextFnEx>(cb.fn), obj = cb.obj, handle = m_handle,
              text = std::move(text)] { fn(handle, obj, text.c_str()); });
    } else {
        post([fn = reinterpret_cast<TextFn>(cb.fn), text = std::move(text)] { fn(text.c_str()); });
    }
}

void DelegateCore::postState(Slot slot, bool cardState) {
    const Registration cb = registration(slot);
    if (cb.fn == nullptr) {
        return;
    }
    // The state is read when the callback runs, so after quick changes
    // several callbacks may report the newest one.
    auto states = m_states;
    if (m_withHandle) {
        post([fn = reinterpret_cast<StateFnEx>(cb.fn), obj = cb.obj, handle = m_handle, states,
              cardState] {
            fn(handle, obj, cardState ? states->cardDataState.load() : states->deviceState.load());
        });
    } else {
        post([fn = reinterpret_cast<StateFn>(cb.fn), states, cardState] {
            fn(cardState ? states->cardDataState.load() : states->deviceState.load());
        });
    }
}

void DelegateCore::OnError(Strivo* mag, int /*err*/, char* errString) {
    // Called on the receiving thread, as it comes; the code is not passed on.
    // Every error a reader reports is data it dropped; a dropped callback
    // (no reader) is counted by its queue.
    if (mag != nullptr) {
        m_lostData.fetch_add(1);
    }
    const Registration cb = registration(ERROR_TEXT);
    if (cb.fn == nullptr) {
        return;
    }
    const char* text = errString != nullptr ? errString : "";
    if (m_withHandle) {
        reinterpret_cast<TextFnEx>(cb.fn)(m_handle, cb.obj, text);
    } else {
        reinterpret_cast<TextFn>(cb.fn)(text);
    }
}

void DelegateCore::OnDeviceChange(Strivo* /*mag*/, EDeviceStateValues status) {
    if (m_states->deviceState.exchange(status) == status) {
        return;  // reported already
    }
    debugLog("handle %lu: device state %d", m_handle, static_cast<int>(status));
    postState(CONNECTION_CHANGED, false);
    postState(DEVICE_CHANGED, false);
}

void DelegateCore::OnCardUpdate(Strivo* msc, ECardDataStateValues status) {
    m_states->cardDataState.store(status);
    if (debugLogging() && msc != nullptr && status == ZEDRA_DATA_READY) {
        // Lengths and statuses only: never a track or the account number.
        CardDataBox<ZDMSRDATA> box;
        msc->copyCardData(*box);
        const ZDMSRDATA& card = *box;
        debugLog(
            "handle %lu: card data, tracks %ld/%ld/%ld bytes (masked %ld/%ld/%ld), decode "
            "statuses %ld/%ld/%ld, encode type %ld",
            m_handle, card.m_dwTrack1Length, card.m_dwTrack2Length, card.m_dwTrack3Length,
            card.m_dwTrack1LengthMasked, card.m_dwTrack2LengthMasked, card.m_dwTrack3LengthMasked,
            card.m_dwTrack1DcdStatus, card.m_dwTrack2DcdStatus, card.m_dwTrack3DcdStatus,
            card.m_dwCardEncodeType);
    } else {
        debugLog("handle %lu: card data state %d", m_handle, static_cast<int>(status));
    }
    if (status != ZEDRA_DATA_READY && msc != nullptr) {
        // A failed or withdrawn card leaves an empty record.
        msc->clear();
    }
    postState(CARD_CHANGED, true);
    const Registration received = registration(CARD_DATA);
    if (received.fn == nullptr || status != ZEDRA_DATA_READY || msc == nullptr) {
        return;
    }
    // The text is built here, from the record just decoded, so the callback
    // never needs the reader (which may be closed before it runs). Its
    // storage is the last swipe's, handed back once its callback is done.
    auto states = m_states;
    CardText text = states->takeSpareText();
    msc->GetCardDataStr("|", text);
    if (m_withHandle) {
        post([fn = reinterpret_cast<TextFnEx>(received.fn), obj = received.obj, handle = m_handle,
              states, text = std::move(text)]() mutable {
            fn(handle, obj, text.c_str());
            states->keepSpareText(std::move(text));
            CardDataPool::wipeStack();
        });
    } else {
        post(
            [fn = reinterpret_cast<TextFn>(received.fn), states, text = std::move(text)]() mutable {
                fn(text.c_str());
                states->keepSpareText(std::move(text));
                CardDataPool::wipeStack();
            });
    }
}

void DelegateCore::OnNotification(Strivo* /*mag*/, unsigned short messageId,
                                  const unsigned char* data, int dataLen) {
    debugLog("handle %lu: notification 0x%04X with %d data bytes", m_handle, messageId, dataLen);
    CardText hex = queueNotification(messageId, data, dataLen);
    const Registration general = registration(NOTIFICATION);
    if (general.fn != nullptr) {
        const unsigned int id = messageId;
        if (m_withHandle) {
            post([fn = reinterpret_cast<NotificationFnEx>(general.fn), obj = general.obj,
                  handle = m_handle, id, hex] { fn(handle, obj, id, hex.c_str()); });
        } else {
            post([fn = reinterpret_cast<NotificationFn>(general.fn), id, hex] {
                fn(id, hex.c_str());
            });
        }
    }
    // Message ids 0x300 to 0x304 also reach their transaction callback; any
    // other id reaches the extended-response callback.
    const int transaction = transactionCallbackIndex(messageId);
    if (transaction >= 0) {
        postText(static_cast<Slot>(TRANSACTION_STATUS + transaction), std::move(hex));
    } else {
        postText(EXTENDED_RESPONSE, extendedResponseText(messageId, hex));
    }
}

void DelegateCore::OnDeviceResponse(Strivo* /*mag*/, const char* resp) {
    postText(DEVICE_RESPONSE, CardText(resp != nullptr ? resp : ""));
}

void DelegateCore::OnJsonDataUpdate(Strivo* /*mag*/, std::string jsonData) {
    postText(JSON_DATA, CardText(jsonData));
}

void DelegateCore::OnExtendedResponse(CardText text) {
    postText(EXTENDED_RESPONSE, std::move(text));
}

}  // namespace quorin
