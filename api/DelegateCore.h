// What the first-generation and the Ex delegates share: how a reader's events
// become host callbacks, the recorded device and card-data states, the queue
// of notification texts, the result ring of the Ex card-data accessors, and
// the queue that runs their host callbacks in the order of the reader's
// events.
//
// The two generations differ only in the callbacks' signatures: a
// first-generation callback takes the event's values; an Ex callback takes
// the reader's handle and the host's object first. A registration is kept as
// its function and object, and the generation decides how it is called.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "api/CallbackQueue.h"
#include "common/CardDataAllocator.h"
#include "common/CardText.h"
#include "common/LibraryState.h"
#include "common/MutexLock.h"
#include "reader/Strivo_Delegate.h"

namespace quorin {

class DelegateCore : public Strivo_Delegate {
public:
    // The states live in a block shared with the callback threads, which
    // read the newest value when they run, even after the delegate is gone.
    struct States {
        std::atomic<long> cardDataState{ZEDRA_DATA_NOTREADY};
        std::atomic<long> deviceState{ZEDRA_STATE_DISCONNECTED};

        // The storage of the last card data text a callback thread is done
        // with, for the next swipe's text: the text is built on the
        // receiving thread and let go on a callback thread, and taking fresh
        // memory for it each time is a cold allocation per swipe. The text
        // is wiped before its storage waits.
        CardText takeSpareText();
        void keepSpareText(CardText text);

    private:
        static constexpr size_t MAX_SPARE_TEXT = 16384;
        Mutex spareLock;  // guards spareText
        CardText spareText GUARDED_BY(spareLock);
    };

    // The callbacks a delegate can hold, whether or not its generation has a
    // registration function for each.
    enum Slot {
        CARD_DATA,           // text: the card data string
        CONNECTION_CHANGED,  // state
        CARD_CHANGED,        // state
        DEVICE_CHANGED,      // state
        DEVICE_RESPONSE,     // text: an asynchronous command's answer
        ERROR_TEXT,          // text, called on the receiving thread
        NOTIFICATION,        // message id and text
        TRANSACTION_STATUS,  // text; the five transaction callbacks in
        DISPLAY_MESSAGE,     // message-id order (0x300 to 0x304)
        USER_SELECTION,
        ARQC_RECEIVED,
        TRANSACTION_RESULT,
        JSON_DATA,          // text; nothing calls it
        EXTENDED_RESPONSE,  // text
        SLOT_COUNT
    };

    // withHandle: callbacks take (handle, object, ...) (the Ex generation).
    explicit DelegateCore(bool withHandle);

    // ---- events (Strivo_Delegate and the command functions)
    void OnError(Strivo* mag, int err, char* errString) override;
    void OnDeviceChange(Strivo* mag, EDeviceStateValues status) override;
    void OnCardUpdate(Strivo* msc, ECardDataStateValues status) override;
    void OnNotification(Strivo* mag, unsigned short messageId, const unsigned char* data,
                        int dataLen) override;
    void OnDeviceResponse(Strivo* mag, const char* resp) override;
    // A reader model that reports its card data as JSON text would call this;
    // none of the supported models does.
    void OnJsonDataUpdate(Strivo* mag, std::string jsonData);
    // Hands an extended-command answer to the extended-response callback.
    void OnExtendedResponse(CardText text);

    // The handle passed to Ex callbacks. Set before the delegate is attached.
    void setHandle(unsigned long handle) { m_handle = handle; }
    unsigned long handle() const { return m_handle; }

    // Copies s into this delegate's ring and returns the copy; "" for a text
    // of more than 29695 characters.
    const char* StaticString(const char* s);
    // Wipes every text of the ring (they are card data: GetCardDataEx's and
    // GetRawData's).
    void wipeStaticStrings();
    void clearNotify();
    // Removes and returns the oldest queued notification text; "" when none.
    CardText waitForNotify();
    long deviceState() const { return m_states->deviceState.load(); }
    long cardDataState() const { return m_states->cardDataState.load(); }
    // The queue of this delegate's host callbacks.
    const std::shared_ptr<CallbackQueue>& callbacks() const { return m_callbacks; }
    // Callbacks refused because their queue was full, or because no thread
    // could be had at all.
    unsigned long droppedCallbacks() const {
        return LibraryState::forked() ? 0 : m_callbacks->dropped();  // (see post)
    }
    // Data of the reader dropped because it arrived incomplete, out of place
    // or garbled: every error the reader reported (each reached OnError).
    unsigned long lostData() const { return m_lostData.load(); }

    // The text the error callback receives when a callback had to be dropped.
    static constexpr const char* DROPPED_TEXT = "Callback queue full: event dropped!";

protected:
    static constexpr size_t LOCAL_BUFFER_SIZE = 29696;
    static constexpr size_t MAX_QUEUED_NOTIFICATIONS = 1024;
    // Text of all queued notifications together (the largest one fits).
    static constexpr size_t MAX_QUEUED_BYTES = 8u << 20;

    // Queues "code,<id>;data,<HEX>" and returns the hex of the data, whole.
    CardText queueNotification(unsigned short messageId, const unsigned char* data, int dataLen);
    // Stores a registration; a null function unregisters. Ignored in a
    // forked child, where a parent thread may have held the lock.
    template <typename Fn>
    void setCallback(Slot slot, Fn fn, void* obj) {
        if (LibraryState::forked()) {
            return;
        }
        MutexLock guard(callbackLock);
        m_registrations[slot] = Registration{reinterpret_cast<void (*)()>(fn), obj};
    }

private:
    // A host callback as registered: its function (called through the type
    // of its slot and generation) and object.
    struct Registration {
        void (*fn)() = nullptr;
        void* obj = nullptr;
    };

    Registration registration(Slot slot);
    // Queues a callback of a text slot, of a state slot read from the shared
    // states when it runs, and of the notification slot. Texts may carry
    // card data: each is wiped once its callback has returned.
    void postText(Slot slot, CardText text);
    void postState(Slot slot, bool cardState);
    // Queues a host callback behind the ones before it. A callback that has
    // to be dropped is reported to the error callback, on this thread.
    void post(CallbackJob job);

    const bool m_withHandle;
    unsigned long m_handle = 0;
    std::atomic<unsigned long> m_lostData{0};
    std::shared_ptr<States> m_states;
    std::shared_ptr<CallbackQueue> m_callbacks;
    Mutex callbackLock;  // guards m_registrations
    Registration m_registrations[SLOT_COUNT] GUARDED_BY(callbackLock);

    // The ring's storage, in the card data pool.
    struct RingStorage {
        char bytes[LOCAL_BUFFER_SIZE];
    };
    CardDataBox<RingStorage> localBuffer;
    Mutex lock;  // guards notifVector
    std::vector<CardText> notifVector GUARDED_BY(lock);
    size_t queuedBytes GUARDED_BY(lock) = 0;  // text of notifVector's entries
};

}  // namespace quorin
