// Buffers of one fixed size whose every byte is zero when handed out.
//
// A command's response areas (64 KiB for the collected answer, 32 KiB per
// read) must start out zero, but an answer fills only a few bytes of them:
// clearing the whole area for every command cost more than the rest of a
// serial round trip. The pool keeps one spare buffer and, when a lease ends,
// clears only the bytes the lease marked as written. Whoever writes into a
// leased buffer must mark how far (touched()); a connection reports how many
// bytes it wrote, and that count is what is marked.
//
// Thread-safe. When the spare is out, a lease gets a freshly zeroed buffer,
// so concurrent commands on one reader never share one.
#pragma once

#include <cstddef>
#include <mutex>
#include <vector>

#include "common/MutexLock.h"

namespace quorin {

class ZeroedBufferPool {
public:
    class Lease {
    public:
        Lease(Lease&& other) noexcept;
        Lease& operator=(Lease&&) = delete;
        Lease(const Lease&) = delete;
        Lease& operator=(const Lease&) = delete;
        ~Lease();

        unsigned char* data() { return m_buffer.data(); }
        size_t size() const { return m_buffer.size(); }
        // Marks the first n bytes (at most size()) as possibly written.
        void touched(long n);
        // Clears the bytes marked so far; the buffer is all zero again.
        void clear();

    private:
        friend class ZeroedBufferPool;
        Lease(ZeroedBufferPool* pool, std::vector<unsigned char> buffer);

        ZeroedBufferPool* m_pool;
        std::vector<unsigned char> m_buffer;
        size_t m_dirty = 0;
    };

    explicit ZeroedBufferPool(size_t size) : m_size(size) {}
    ZeroedBufferPool(const ZeroedBufferPool&) = delete;
    ZeroedBufferPool& operator=(const ZeroedBufferPool&) = delete;

    // An all-zero buffer of size() bytes, held until the lease ends. The
    // pool must outlive its leases.
    Lease take();
    size_t size() const { return m_size; }

private:
    void giveBack(std::vector<unsigned char> buffer);

    const size_t m_size;
    Mutex m_lock;                                           // guards m_spare
    std::vector<unsigned char> m_spare GUARDED_BY(m_lock);  // all zero, or empty when lent out
};

}  // namespace quorin
