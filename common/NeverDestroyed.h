// An object made on first use in static storage whose destructor never runs.
//
// For the process-wide state that a thread of the host or of the library
// may still reach while the process's static objects are destroyed (a host
// thread inside the library when another calls exit()): the object stays
// valid to the end. Its owner empties it at teardown, so what it allocated
// is freed and an unloaded library leaks nothing.
#pragma once

#include <new>
#include <utility>

namespace quorin {

template <typename T>
class NeverDestroyed {
public:
    template <typename... Args>
    explicit NeverDestroyed(Args&&... args) {
        new (m_storage) T(std::forward<Args>(args)...);
    }
    NeverDestroyed(const NeverDestroyed&) = delete;
    NeverDestroyed& operator=(const NeverDestroyed&) = delete;

    T& get() { return *std::launder(reinterpret_cast<T*>(m_storage)); }

private:
    alignas(T) unsigned char m_storage[sizeof(T)];
};

}  // namespace quorin
