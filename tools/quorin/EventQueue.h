// Hands reader events from the library's callback threads to the tool's main
// thread, and turns SIGINT/SIGTERM into an event the main thread can wait
// for.
//
// The library calls every host callback on a thread of its own. The
// callbacks registered by the tool (see registerCallbacks) only copy what
// they were given into this queue and write one byte to a wake-up pipe; the
// main thread waits on that pipe, the signal pipe and optionally one more
// descriptor (standard input), takes the events and does all printing and
// every further library call itself, so the library is only ever called
// from one thread.
//
// The signal handler only writes one byte to the signal pipe (write is
// async-signal-safe) and records the signal number.
//
// Lifetime: the queue is created on first use and never destroyed, so a
// callback thread that is still finishing while the process exits never
// touches a destroyed queue. Lock: m_lock guards m_events.
#pragma once

#include <csignal>
#include <deque>
#include <mutex>
#include <string>

namespace quorin::cli {

struct ReaderEvent {
    enum Kind { CARD_DATA, NOTIFICATION, CONNECTION, ERROR };
    Kind kind = ERROR;
    unsigned long handle = 0;
    unsigned int messageId = 0;  // NOTIFICATION
    long state = 0;              // CONNECTION: an EDeviceStateValues value
    std::string text;            // CARD_DATA: card data string; NOTIFICATION: data hex
};

class EventQueue {
public:
    enum class Wake { EVENT, SIGNAL, INPUT, TIMEOUT };

    static EventQueue& instance();

    // SIGINT and SIGTERM set the signal state instead of ending the process.
    void catchSignals();
    // The signal that arrived (0: none).
    int signalNumber() const { return s_signal; }

    // Registers the tool's callbacks for card data, notifications and
    // errors of the reader. Its connection changes come from the
    // ReaderHandle that opened it, which posts them here from the open on.
    void registerCallbacks(unsigned long handle);
    void post(const ReaderEvent& event);

    // Waits at most timeoutMs (negative: no limit) for an event, a signal,
    // or input on inputFd (-1: none). Events come first: a pending event is
    // returned even after a signal, so nothing that arrived is lost; the
    // signal is reported once the queue is empty.
    Wake wait(int timeoutMs, ReaderEvent* event, int inputFd = -1);
    // Takes every queued event of the reader, oldest first, and leaves the
    // others queued. Called once the reader is closed (a close waits for the
    // callbacks already running, and none starts after it), this is
    // everything the reader sent.
    std::deque<ReaderEvent> takeAll(unsigned long handle);

private:
    EventQueue();
    static void onSignal(int signal);

    std::mutex m_lock;
    std::deque<ReaderEvent> m_events;  // guarded by m_lock
    int m_wakePipe[2] = {-1, -1};
    static int s_signalPipe[2];
    static volatile sig_atomic_t s_signal;
};

}  // namespace quorin::cli
