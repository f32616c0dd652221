#include "api/DelegateCore.h"

#include <algorithm>
#include <cstring>

#include "common/stdafx.h"

namespace quorin {

std::string DelegateCore::States::takeSpareText() {
    std::lock_guard<std::mutex> guard(spareLock);
    std::string text = std::move(spareText);
    spareText.clear();
    return text;
}

void DelegateCore::States::keepSpareText(std::string text) {
    // The text is a card's data: it is wiped before its storage waits for
    // the next swipe (on the callback thread, off the swipe's path).
    std::fill(text.begin(), text.end(), '\0');
    text.clear();
    std::lock_guard<std::mutex> guard(spareLock);
    if (text.capacity() > spareText.capacity() && text.capacity() <= MAX_SPARE_TEXT) {
        spareText = std::move(text);
    }
}

namespace {
// One ring index shared by every delegate.
std::atomic<int> g_ringIndex{0};
constexpr size_t SLOT = 256;
constexpr size_t LONG_TEXT = 2048;
}  // namespace

DelegateCore::DelegateCore()
    : m_states(std::make_shared<States>()), m_callbacks(CallbackQueue::create()) {
    std::memset(localBuffer, 0, sizeof(localBuffer));
}

const char* DelegateCore::StaticString(const char* s) {
    if (s == nullptr) {
        s = "";
    }
    size_t length = std::strlen(s);
    if (length > LOCAL_BUFFER_SIZE - 1) {
        return "";
    }
    int index;
    if (length > LONG_TEXT) {
        // Long texts always start at the beginning of the buffer, where they fit.
        g_ringIndex.store(0);
        index = 0;
    } else {
        int current = g_ringIndex.load();
        int next;
        do {
            next = current + 3;
            if (next > 99) {
                next %= 100;
            }
        } while (!g_ringIndex.compare_exchange_weak(current, next));
        index = next;
    }
    char* slot = localBuffer + static_cast<size_t>(index) * SLOT;
    std::memcpy(slot, s, length + 1);
    return slot;
}

void DelegateCore::clearNotify() {
    std::lock_guard<std::mutex> guard(lock);
    notifVector.clear();
}

std::string DelegateCore::waitForNotify() {
    std::lock_guard<std::mutex> guard(lock);
    if (notifVector.empty()) {
        return std::string();
    }
    std::string oldest = std::move(notifVector.front());
    notifVector.erase(notifVector.begin());
    return oldest;
}

std::string DelegateCore::queueNotification(unsigned short messageId, const unsigned char* data,
                                            int dataLen) {
    std::vector<char> hex(NOTIFICATION_HEX_CAPACITY, '\0');
    ByteArrayToHexStr(data, dataLen, hex.data(), NOTIFICATION_HEX_CAPACITY);
    std::string text(hex.data());
    std::lock_guard<std::mutex> guard(lock);
    // A host that never takes notifications out (the Ex generation has no
    // call that does) must not make the queue grow without bound: the oldest
    // give way.
    if (notifVector.size() >= MAX_QUEUED_NOTIFICATIONS) {
        notifVector.erase(notifVector.begin());
    }
    notifVector.push_back("code," + std::to_string(messageId) + ";data," + text);
    return text;
}

void DelegateCore::post(CallbackJob job) {
    if (m_callbacks->post(std::move(job)) == CallbackQueue::Posted::DROPPED) {
        reportDropped();
    }
}

bool DelegateCore::recordDeviceState(EDeviceStateValues state) {
    long previous = m_states->deviceState.exchange(state);
    return previous != state;
}

}  // namespace quorin
