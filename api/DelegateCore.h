// What the first-generation and the Ex delegates share: the recorded device
// and card-data states, the queue of notification texts, the result ring of
// the Ex card-data accessors, and the queue that runs their host callbacks in
// the order of the reader's events.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "api/CallbackQueue.h"
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
        // memory for it each time is a cold allocation per swipe.
        std::string takeSpareText();
        void keepSpareText(std::string text);

    private:
        static constexpr size_t MAX_SPARE_TEXT = 16384;
        std::mutex spareLock;  // guards spareText
        std::string spareText;
    };

    DelegateCore();

    // Copies s into this delegate's ring and returns the copy; "" for a text
    // of more than 29695 characters.
    const char* StaticString(const char* s);
    void clearNotify();
    // Removes and returns the oldest queued notification text; "" when none.
    std::string waitForNotify();
    long deviceState() const { return m_states->deviceState.load(); }
    long cardDataState() const { return m_states->cardDataState.load(); }
    // The queue of this delegate's host callbacks.
    const std::shared_ptr<CallbackQueue>& callbacks() const { return m_callbacks; }
    // Callbacks refused because their queue was full, or because no thread
    // could be had at all.
    unsigned long droppedCallbacks() const { return m_callbacks->dropped(); }

    // The text the error callback receives when a callback had to be dropped.
    static constexpr const char* DROPPED_TEXT = "Callback queue full: event dropped!";

protected:
    static constexpr size_t LOCAL_BUFFER_SIZE = 29696;
    static constexpr long NOTIFICATION_HEX_CAPACITY = 8192;
    static constexpr size_t MAX_QUEUED_NOTIFICATIONS = 1024;

    // Queues "code,<id>;data,<HEX>" and returns the hex of the data (at most
    // 4095 bytes are converted).
    std::string queueNotification(unsigned short messageId, const unsigned char* data, int dataLen);
    // Records a device state; false when it equals the recorded one.
    bool recordDeviceState(EDeviceStateValues state);
    // Queues a host callback behind the ones before it. A callback that has
    // to be dropped is reported to the error callback, on this thread.
    void post(CallbackJob job);
    // Tells the host's error callback that a callback was dropped.
    virtual void reportDropped() = 0;

    std::shared_ptr<States> m_states;
    std::shared_ptr<CallbackQueue> m_callbacks;
    std::mutex callbackLock;  // guards the host callback registrations of subclasses

private:
    char localBuffer[LOCAL_BUFFER_SIZE];
    std::mutex lock;                       // guards notifVector
    std::vector<std::string> notifVector;  // guarded by lock
};

}  // namespace quorin
