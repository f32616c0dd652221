#include "EventQueue.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "Quorin.h"

namespace quorin::cli {

int EventQueue::s_signalPipe[2] = {-1, -1};
volatile sig_atomic_t EventQueue::s_signal = 0;

namespace {

void makePipe(int fds[2]) {
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
        fds[0] = fds[1] = -1;
    }
}

void drain(int fd) {
    char buf[64];
    while (fd >= 0 && read(fd, buf, sizeof(buf)) > 0) {
    }
}

void onCardData(unsigned long handle, void* obj, const char* text) {
    ReaderEvent e;
    e.kind = ReaderEvent::CARD_DATA;
    e.handle = handle;
    e.text = text != nullptr ? text : "";
    static_cast<EventQueue*>(obj)->post(e);
}

void onNotification(unsigned long handle, void* obj, unsigned int messageId, const char* text) {
    ReaderEvent e;
    e.kind = ReaderEvent::NOTIFICATION;
    e.handle = handle;
    e.messageId = messageId;
    e.text = text != nullptr ? text : "";
    static_cast<EventQueue*>(obj)->post(e);
}

// Runs on the reader's receiving thread: quick, and no library call.
void onError(unsigned long handle, void* obj, const char* text) {
    ReaderEvent e;
    e.kind = ReaderEvent::ERROR;
    e.handle = handle;
    e.text = text != nullptr ? text : "";
    static_cast<EventQueue*>(obj)->post(e);
}

}  // namespace

EventQueue& EventQueue::instance() {
    // Deliberately never destroyed (see the header).
    static EventQueue* queue = new EventQueue();
    return *queue;
}

EventQueue::EventQueue() {
    makePipe(m_wakePipe);
}

void EventQueue::onSignal(int signal) {
    s_signal = signal;
    if (s_signalPipe[1] >= 0) {
        int saved = errno;
        char byte = 1;
        ssize_t ignored = write(s_signalPipe[1], &byte, 1);
        (void)ignored;
        errno = saved;
    }
}

void EventQueue::catchSignals() {
    if (s_signalPipe[0] < 0) {
        makePipe(s_signalPipe);
    }
    struct sigaction action = {};
    action.sa_handler = &EventQueue::onSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

void EventQueue::registerCallbacks(unsigned long handle) {
    OnDataReceivedEx(handle, &onCardData, this);
    OnNotificationDataEx(handle, &onNotification, this);
    OnErrorEx(handle, &onError, this);
}

void EventQueue::post(const ReaderEvent& event) {
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_events.push_back(event);
    }
    if (m_wakePipe[1] >= 0) {
        char byte = 1;
        // A full pipe already wakes the reader; the byte is not needed then.
        ssize_t ignored = write(m_wakePipe[1], &byte, 1);
        (void)ignored;
    }
}

EventQueue::Wake EventQueue::wait(int timeoutMs, ReaderEvent* event, int inputFd) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
    for (;;) {
        {
            std::lock_guard<std::mutex> guard(m_lock);
            if (!m_events.empty()) {
                *event = m_events.front();
                m_events.pop_front();
                return Wake::EVENT;
            }
        }
        if (s_signal != 0) {
            return Wake::SIGNAL;
        }
        int remaining = -1;
        if (timeoutMs >= 0) {
            auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0) {
                return Wake::TIMEOUT;
            }
            remaining = static_cast<int>(left.count());
        }
        struct pollfd fds[3];
        nfds_t n = 0;
        fds[n++] = {m_wakePipe[0], POLLIN, 0};
        fds[n++] = {s_signalPipe[0], POLLIN, 0};
        if (inputFd >= 0) {
            fds[n++] = {inputFd, POLLIN, 0};
        }
        int ready = poll(fds, n, remaining);
        if (ready < 0 && errno != EINTR) {
            return Wake::TIMEOUT;
        }
        drain(m_wakePipe[0]);
        drain(s_signalPipe[0]);
        if (ready > 0 && inputFd >= 0 && (fds[2].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
            std::lock_guard<std::mutex> guard(m_lock);
            if (m_events.empty() && s_signal == 0) {
                return Wake::INPUT;
            }
        }
    }
}

std::deque<ReaderEvent> EventQueue::takeAll(unsigned long handle) {
    std::deque<ReaderEvent> taken;
    std::lock_guard<std::mutex> guard(m_lock);
    for (auto it = m_events.begin(); it != m_events.end();) {
        if (it->handle == handle) {
            taken.push_back(std::move(*it));
            it = m_events.erase(it);
        } else {
            ++it;
        }
    }
    return taken;
}

}  // namespace quorin::cli
