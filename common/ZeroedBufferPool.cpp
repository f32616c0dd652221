#include "common/ZeroedBufferPool.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "common/MutexLock.h"

namespace quorin {

ZeroedBufferPool::Lease::Lease(ZeroedBufferPool* pool, std::vector<unsigned char> buffer)
    : m_pool(pool), m_buffer(std::move(buffer)) {}

ZeroedBufferPool::Lease::Lease(Lease&& other) noexcept
    : m_pool(other.m_pool), m_buffer(std::move(other.m_buffer)), m_dirty(other.m_dirty) {
    other.m_pool = nullptr;
    other.m_dirty = 0;
}

ZeroedBufferPool::Lease::~Lease() {
    if (m_pool == nullptr || m_buffer.empty()) {
        return;
    }
    clear();
    try {
        m_pool->giveBack(std::move(m_buffer));
    } catch (...) {
        // The buffer is simply freed.
    }
}

void ZeroedBufferPool::Lease::touched(long n) {
    if (n <= 0) {
        return;
    }
    m_dirty = std::max(m_dirty, std::min(static_cast<size_t>(n), m_buffer.size()));
}

void ZeroedBufferPool::Lease::clear() {
    if (m_dirty != 0) {
        std::memset(m_buffer.data(), 0, m_dirty);
        m_dirty = 0;
    }
}

ZeroedBufferPool::Lease ZeroedBufferPool::take() {
    std::vector<unsigned char> buffer;
    {
        MutexLock guard(m_lock);
        buffer.swap(m_spare);
    }
    if (buffer.size() != m_size) {
        buffer.assign(m_size, 0);
    }
    return Lease(this, std::move(buffer));
}

void ZeroedBufferPool::giveBack(std::vector<unsigned char> buffer) {
    MutexLock guard(m_lock);
    if (m_spare.empty()) {
        m_spare.swap(buffer);
    }
}

}  // namespace quorin
