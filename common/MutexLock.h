// Scoped holders of a quorin::Mutex (MutexLock also of a RecursiveMutex) that clang's thread-safety
// analysis follows: MutexLock holds it for its whole scope (like std::lock_guard); UniqueLock may
// release and take it again and lends its std::unique_lock to a condition variable (a wait releases
// the mutex only while it blocks, so the analysis may treat it as held throughout).
#pragma once

#include <mutex>

#include "common/Mutex.h"

namespace quorin {

template <typename M>
class SCOPED_CAPABILITY MutexLock {
public:
    explicit MutexLock(M& mutex) ACQUIRE(mutex) : m_mutex(mutex) { m_mutex.lock(); }
    ~MutexLock() RELEASE() { m_mutex.unlock(); }
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;

private:
    M& m_mutex;
};

class SCOPED_CAPABILITY UniqueLock {
public:
    explicit UniqueLock(Mutex& mutex) ACQUIRE(mutex) : m_lock(mutex.native()) {}
    ~UniqueLock() RELEASE() {}
    UniqueLock(const UniqueLock&) = delete;
    UniqueLock& operator=(const UniqueLock&) = delete;

    void lock() ACQUIRE() { m_lock.lock(); }
    void unlock() RELEASE() { m_lock.unlock(); }

    // For std::condition_variable::wait and friends.
    std::unique_lock<std::mutex>& native() { return m_lock; }

private:
    std::unique_lock<std::mutex> m_lock;
};

}  // namespace quorin
