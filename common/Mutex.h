// The library's mutexes: a std::mutex (and a std::recursive_mutex) that
// clang's thread-safety analysis knows.
//
// The mutexes of the GNU standard library carry no capability attributes, so
// members guarded by one cannot be checked. Mutex is the same lock with the
// attributes; MutexLock and UniqueLock (common/MutexLock.h) hold it for a
// scope. A condition variable waits through UniqueLock::native().
#pragma once

#include <mutex>

#include "common/ThreadSafety.h"

namespace quorin {

template <typename Native>
class CAPABILITY("mutex") BasicMutex {
public:
    BasicMutex() = default;
    BasicMutex(const BasicMutex&) = delete;
    BasicMutex& operator=(const BasicMutex&) = delete;

    void lock() ACQUIRE() { m_mutex.lock(); }
    void unlock() RELEASE() { m_mutex.unlock(); }
    bool try_lock() TRY_ACQUIRE(true) { return m_mutex.try_lock(); }

    // The underlying lock, for std::unique_lock and condition variables.
    Native& native() { return m_mutex; }

private:
    Native m_mutex;
};

using Mutex = BasicMutex<std::mutex>;
// For the few locks a thread may take again while holding them (the analysis
// checks what they guard, not the recursion).
using RecursiveMutex = BasicMutex<std::recursive_mutex>;

}  // namespace quorin
