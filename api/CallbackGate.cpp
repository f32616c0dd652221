#include "api/CallbackGate.h"

#include <cxxabi.h>

#include <atomic>
#include <thread>

#include "api/CallbackWorkers.h"

namespace quorin {

namespace {
thread_local bool t_onCallbackThread = false;

// Set once the process-wide gate exists.
std::atomic<bool> g_processGateMade{false};
}  // namespace

// An exception out of a host callback is dropped; a forced unwind (thread
// cancellation or exit) must go on, since swallowing it aborts the process.
// The unwind carries no exception object, which the undefined-behaviour
// checker would take for a null reference, hence its exemption here.
__attribute__((no_sanitize("undefined"))) void CallbackGate::runHostCode(void (*call)(void*),
                                                                         void* target) {
    t_onCallbackThread = true;
    try {
        call(target);
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (...) {
    }
}

const std::shared_ptr<CallbackGate>& CallbackGate::process() {
    // Deliberately never destroyed: threads that outlive the bounded wait at
    // unload may still touch it.
    static auto* gate = [] {
        auto* made = new std::shared_ptr<CallbackGate>(std::make_shared<CallbackGate>());
        g_processGateMade.store(true);
        return made;
    }();
    return *gate;
}

bool CallbackGate::waitProcessIdle(std::chrono::milliseconds timeout) {
    // Without the gate no thread was ever launched; making it now, at unload,
    // would only leak it.
    if (!g_processGateMade.load()) {
        return true;
    }
    const bool idle = process()->waitIdle(timeout);
    // The threads that wait for further callbacks end too, so that none is
    // left in code about to be unmapped.
    return CallbackWorkers::instance().retire(timeout) && idle;
}

void CallbackGate::releaseIdleThreads() {
    CallbackWorkers::instance().trimIdle();
}

void CallbackGate::readersOpen(bool any) {
    CallbackWorkers::instance().setLinger(any);
}

bool CallbackGate::onCallbackThread() {
    return t_onCallbackThread;
}

bool CallbackGate::enter() {
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_closed) {
        return false;
    }
    ++m_running;
    return true;
}

void CallbackGate::leave() {
    {
        std::lock_guard<std::mutex> guard(m_lock);
        --m_running;
    }
    m_idle.notify_all();
}

bool CallbackGate::enterBoth(const std::shared_ptr<CallbackGate>& gate,
                             const std::shared_ptr<CallbackGate>& global) {
    if (!gate || !gate->enter()) {
        return false;
    }
    if (gate != global && !global->enter()) {
        gate->leave();
        return false;
    }
    return true;
}

void CallbackGate::leaveBoth(const std::shared_ptr<CallbackGate>& gate,
                             const std::shared_ptr<CallbackGate>& global) {
    if (gate != global) {
        gate->leave();
    }
    global->leave();
}

bool CallbackGate::start(CallbackJob job, const std::shared_ptr<CallbackGate>& gate,
                         const std::shared_ptr<CallbackGate>& global) {
    bool started = false;
    try {
        started = CallbackWorkers::instance().run(std::move(job));
    } catch (...) {
        started = false;
    }
    if (!started) {
        leaveBoth(gate, global);
    }
    return started;
}

void CallbackGate::close() {
    std::lock_guard<std::mutex> guard(m_lock);
    m_closed = true;
}

bool CallbackGate::waitIdle(std::chrono::milliseconds timeout) {
    if (onCallbackThread()) {
        return true;
    }
    std::unique_lock<std::mutex> guard(m_lock);
    return m_idle.wait_for(guard, timeout, [&] { return m_running == 0; });
}

int CallbackGate::running() {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_running;
}

}  // namespace quorin
