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
#include <functional>
#include <memory>
#include <mutex>

namespace quorin {

class CallbackGate {
public:
    // Runs fn on a callback thread, holding a share of this gate and of the
    // process-wide gate. Returns false (fn not run) when the gate is closed or
    // the thread could not be started. Exceptions thrown by fn are dropped.
    static bool launch(const std::shared_ptr<CallbackGate>& gate, std::function<void()> fn);
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

    std::mutex m_lock;  // guards m_closed and m_running
    std::condition_variable m_idle;
    bool m_closed = false;
    int m_running = 0;
};

}  // namespace quorin
