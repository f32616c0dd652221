// Containers for card data: an allocator that takes its memory from the
// card data pool and wipes it when it is released, and the byte vector and
// fixed record box that use it.
//
// A vector of card bytes is wiped when it is destroyed and when it grows (the
// old storage goes back through the allocator); clear() keeps its storage,
// so a buffer reused for the next card must be wiped by whoever reuses it
// (wipeBytes). Text goes in a CardText (common/CardText.h).
#pragma once

#include <cstddef>
#include <new>
#include <vector>

#include "common/CardDataPool.h"

namespace quorin {

template <typename T>
class CardDataAllocator {
public:
    using value_type = T;

    CardDataAllocator() noexcept = default;
    template <typename U>
    CardDataAllocator(const CardDataAllocator<U>&) noexcept {}

    T* allocate(size_t n) {
        return static_cast<T*>(CardDataPool::instance().allocate(n * sizeof(T)));
    }
    void deallocate(T* p, size_t n) noexcept { CardDataPool::instance().release(p, n * sizeof(T)); }

    template <typename U>
    bool operator==(const CardDataAllocator<U>&) const noexcept {
        return true;
    }
    template <typename U>
    bool operator!=(const CardDataAllocator<U>&) const noexcept {
        return false;
    }
};

using CardBytes = std::vector<unsigned char, CardDataAllocator<unsigned char>>;

// Wipes the whole storage of v (its capacity, not only its size) and empties it.
template <typename T, typename A>
void wipeBytes(std::vector<T, A>& v) {
    CardDataPool::wipe(v.data(), v.capacity() * sizeof(T));
    v.clear();
}

// The deleter of a new[]-ed byte array that may hold card data: it wipes the
// size bytes its owner says the array has (set it when the array is made).
struct WipingArrayDelete {
    size_t size = 0;
    void operator()(unsigned char* p) const {
        CardDataPool::wipe(p, size);
        delete[] p;
    }
};

// One T (a card record, a text buffer) in the card data pool, zeroed when
// made and wiped when it goes. T must be trivially copyable.
template <typename T>
class CardDataBox {
public:
    CardDataBox() : m_p(static_cast<T*>(CardDataPool::instance().allocate(sizeof(T)))) {
        CardDataPool::wipe(m_p, sizeof(T));
    }
    ~CardDataBox() { CardDataPool::instance().release(m_p, sizeof(T)); }
    CardDataBox(const CardDataBox&) = delete;
    CardDataBox& operator=(const CardDataBox&) = delete;

    T& operator*() const { return *m_p; }
    T* operator->() const { return m_p; }
    T* get() const { return m_p; }
    void wipe() { CardDataPool::wipe(m_p, sizeof(T)); }

private:
    T* m_p;
};

// One T that lives as long as the library (a buffer of the session), in
// the card data pool's static area: zeroed when made, wiped by wipe(), never
// released.
template <typename T>
class LifetimeCardData {
public:
    LifetimeCardData()
        : m_p(static_cast<T*>(CardDataPool::instance().allocateForLifetime(sizeof(T)))) {}
    LifetimeCardData(const LifetimeCardData&) = delete;
    LifetimeCardData& operator=(const LifetimeCardData&) = delete;

    T* operator->() const { return m_p; }
    void wipe() { CardDataPool::wipe(m_p, sizeof(T)); }

private:
    T* const m_p;
};

}  // namespace quorin
