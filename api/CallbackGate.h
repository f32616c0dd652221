// Pins the detached threads that call the host back.
//
// Every host callback and every asynchronous command worker runs as a job on
// a detached thread of CallbackWorkers, never waiting behind another job.
// Each job holds a share of the gate of the delegate it serves and of the
// process-wide gate while it runs, so:
//  - closing an Ex reader closes its gate (no further callback starts) and
//    waits, bounded, until the callbacks already running have returned;
//  - unloading the library waits, bounded, for every such thread to leave
//    before the code they run is unmapped.
// A close called from a callback thread does not wait for itself.
#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <type_traits>
#include <utility>

#include "api/CallbackJob.h"

namespace quorin {

class CallbackGate {
public:
    // Runs fn on a callback thread, holding a share of this gate and of the
    // process-wide gate. Returns false (fn not run) when the gate is closed or
    // the thread could not be started. Exceptions thrown by fn are dropped.
    // fn and the gate shares travel in one CallbackJob: when fn fits in it,
    // nothing is allocated.
    template <class Fn>
    static bool launch(const std::shared_ptr<CallbackGate>& gate, Fn&& fn);
    // The process-wide gate that every launched thread also holds.
    static const std::shared_ptr<CallbackGate>& process();
    // For unloading: process()->waitIdle(timeout), then ends the idle
    // callback threads and refuses further launches. Makes no process-wide
    // gate when no thread was ever launched (true then).
    static bool waitProcessIdle(std::chrono::milliseconds timeout);
    // Ends the callback threads that wait for further callbacks, and the
    // others as their callbacks return (see CallbackWorkers::trimIdle).
    static void releaseIdleThreads();
    // Callback threads wait for further callbacks only while a reader is
    // open; with none open, each ends when its callback returns.
    static void readersOpen(bool any);
    // True on a callback thread.
    static bool onCallbackThread();

    // Refuses further launches.
    void close();
    // Waits until no launched thread holds this gate, for at most timeout.
    // Returns at once (true) on a callback thread. True when idle.
    bool waitIdle(std::chrono::milliseconds timeout);
    int running();

private:
    bool enter();
    void leave();
    // Enters gate and the process-wide gate global, or neither.
    static bool enterBoth(const std::shared_ptr<CallbackGate>& gate,
                          const std::shared_ptr<CallbackGate>& global);
    static void leaveBoth(const std::shared_ptr<CallbackGate>& gate,
                          const std::shared_ptr<CallbackGate>& global);
    // Runs host code through call(target) on a callback thread: marks the
    // thread, drops what the host code throws, lets a forced unwind through.
    static void runHostCode(void (*call)(void*), void* target);
    // Hands a job built by launch to a callback thread. Leaves both gates
    // when the job cannot be started.
    static bool start(CallbackJob job, const std::shared_ptr<CallbackGate>& gate,
                      const std::shared_ptr<CallbackGate>& global);

    std::mutex m_lock;  // guards m_closed and m_running
    std::condition_variable m_idle;
    bool m_closed = false;
    int m_running = 0;
};

template <class Fn>
bool CallbackGate::launch(const std::shared_ptr<CallbackGate>& gate, Fn&& fn) {
    const std::shared_ptr<CallbackGate>& global = process();  // never destroyed
    if (!enterBoth(gate, global)) {
        return false;
    }
    using Host = std::decay_t<Fn>;
    CallbackJob job;
    try {
        job = CallbackJob([gate, global, host = Host(std::forward<Fn>(fn))]() mutable {
            // Leaves both gates however the job ends, a forced unwind
            // (thread cancellation, or the host exiting the thread) included.
            struct Leave {
                const std::shared_ptr<CallbackGate>& gate;
                const std::shared_ptr<CallbackGate>& global;
                ~Leave() { leaveBoth(gate, global); }
            } leave{gate, global};
            runHostCode([](void* target) { (*static_cast<Host*>(target))(); }, &host);
        });
    } catch (...) {
        leaveBoth(gate, global);
        return false;
    }
    return start(std::move(job), gate, global);
}

}  // namespace quorin
