#include "common/CardDataPool.h"

#include <alloca.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <new>

#include "common/Diagnostics.h"

namespace quorin {

namespace {

constexpr size_t LARGEST = 64 * 1024;

// The session's fixed buffers (the card data string, the command result
// ring) fit with room to spare.
constexpr size_t LIFETIME_AREA = 64 * 1024;
alignas(4096) unsigned char g_lifetimeArea[LIFETIME_AREA];

size_t pageRound(size_t n) {
    static const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    return (n + page - 1) / page * page;
}

}  // namespace

CardDataPool& CardDataPool::instance() {
    // In static storage, not on the heap: an unloaded library leaves
    // nothing allocated behind.
    static NeverDestroyed<CardDataPool> pool;
    static const bool forkHandlers = [] {
        // A fork while another thread holds the lock would leave the child
        // a lock nobody releases: the forking thread holds it across the
        // fork, as the C library does with its allocator's.
        pthread_atfork(&CardDataPool::lockForFork, &CardDataPool::unlockAfterFork,
                       &CardDataPool::unlockAfterFork);
        return true;
    }();
    (void)forkHandlers;
    return pool.get();
}

namespace {
// The pool is made when the library is loaded, before a host thread can
// fork: a fork while another thread was making it on first use would leave
// the child waiting for ever on the guard of its construction.
[[maybe_unused]] const bool g_poolMadeAtLoad = (CardDataPool::instance(), true);
}  // namespace

void CardDataPool::lockForFork() {
    instance().m_lock.lock();
}

void CardDataPool::unlockAfterFork() {
    instance().m_lock.unlock();
}

void CardDataPool::wipe(void* p, size_t n) {
    if (p != nullptr && n != 0) {
        explicit_bzero(p, n);
    }
}

void CardDataPool::wipeRegisters() {
#if defined(__x86_64__)
    // The compiler may use xmm0-15; the C library's string functions may
    // also use ymm16-31 (AVX-512), which no compiled code of ours touches.
    static const bool avx = __builtin_cpu_supports("avx");
    static const bool avx512 = __builtin_cpu_supports("avx512f");
    if (avx) {
        __asm__ __volatile__("vzeroall" ::
                                 : "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7",
                                   "xmm8", "xmm9", "xmm10", "xmm11", "xmm12", "xmm13", "xmm14",
                                   "xmm15");
    } else {
        __asm__ __volatile__(
            "pxor %%xmm0, %%xmm0\n\tpxor %%xmm1, %%xmm1\n\tpxor %%xmm2, %%xmm2\n\t"
            "pxor %%xmm3, %%xmm3\n\tpxor %%xmm4, %%xmm4\n\tpxor %%xmm5, %%xmm5\n\t"
            "pxor %%xmm6, %%xmm6\n\tpxor %%xmm7, %%xmm7\n\tpxor %%xmm8, %%xmm8\n\t"
            "pxor %%xmm9, %%xmm9\n\tpxor %%xmm10, %%xmm10\n\tpxor %%xmm11, %%xmm11\n\t"
            "pxor %%xmm12, %%xmm12\n\tpxor %%xmm13, %%xmm13\n\tpxor %%xmm14, %%xmm14\n\t"
            "pxor %%xmm15, %%xmm15" ::
                : "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7", "xmm8", "xmm9",
                  "xmm10", "xmm11", "xmm12", "xmm13", "xmm14", "xmm15");
    }
    if (avx512) {
        __asm__ __volatile__(
            "vpxord %zmm16, %zmm16, %zmm16\n\tvpxord %zmm17, %zmm17, %zmm17\n\t"
            "vpxord %zmm18, %zmm18, %zmm18\n\tvpxord %zmm19, %zmm19, %zmm19\n\t"
            "vpxord %zmm20, %zmm20, %zmm20\n\tvpxord %zmm21, %zmm21, %zmm21\n\t"
            "vpxord %zmm22, %zmm22, %zmm22\n\tvpxord %zmm23, %zmm23, %zmm23\n\t"
            "vpxord %zmm24, %zmm24, %zmm24\n\tvpxord %zmm25, %zmm25, %zmm25\n\t"
            "vpxord %zmm26, %zmm26, %zmm26\n\tvpxord %zmm27, %zmm27, %zmm27\n\t"
            "vpxord %zmm28, %zmm28, %zmm28\n\tvpxord %zmm29, %zmm29, %zmm29\n\t"
            "vpxord %zmm30, %zmm30, %zmm30\n\tvpxord %zmm31, %zmm31, %zmm31");
    }
#endif
}

__attribute__((noinline)) void CardDataPool::wipeStack(size_t bytes) {
    bytes = std::min(bytes, THREAD_STACK_WIPE);
    char* area = static_cast<char*>(alloca(bytes));
    explicit_bzero(area, bytes);
    // The area must really be on this frame, not optimised away.
    __asm__ __volatile__("" : : "r"(area) : "memory");
    wipeRegisters();
}

int CardDataPool::classOf(size_t n) {
    int c = 0;
    for (size_t size = SMALLEST; size < n; size <<= 1) {
        ++c;
    }
    return c;
}

void* CardDataPool::map(size_t n) {
    void* p = mmap(nullptr, n, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) {
        throw std::bad_alloc();
    }
    protect(p, n);
    return p;
}

void CardDataPool::protect(void* p, size_t n) {
    // Kept out of core dumps; the size is page-aligned, as the call needs.
    madvise(p, n, MADV_DONTDUMP);
    const bool locked = mlock(p, n) == 0;
    if (!m_mapped || (m_locked && !locked)) {
        struct rlimit limit = {};
        getrlimit(RLIMIT_MEMLOCK, &limit);
        debugLog(locked ? "card data pool: %zu KiB mapped, kept out of core dumps, locked in memory"
                        : "card data pool: %zu KiB mapped, kept out of core dumps, not locked in "
                          "memory (locked memory limit %llu KiB): it may be swapped",
                 n / 1024, static_cast<unsigned long long>(limit.rlim_cur / 1024));
    }
    m_mapped = true;
    m_locked = m_locked && locked;
}

void* CardDataPool::allocateForLifetime(size_t n) {
    MutexLock guard(m_lock);
    if (m_lifetimeUsed == 0) {
        protect(g_lifetimeArea, LIFETIME_AREA);
    }
    const size_t size =
        (n + alignof(std::max_align_t) - 1) / alignof(std::max_align_t) * alignof(std::max_align_t);
    if (size > LIFETIME_AREA - m_lifetimeUsed) {
        throw std::bad_alloc();
    }
    void* p = g_lifetimeArea + m_lifetimeUsed;
    m_lifetimeUsed += size;
    return p;
}

void* CardDataPool::allocate(size_t n) {
    MutexLock guard(m_lock);
    if (n > LARGEST) {
        void* own = map(pageRound(n));
        ++m_out;
        return own;
    }
    const int c = classOf(n);
    if (FreeBlock* block = m_free[c]) {
        m_free[c] = block->next;
        block->next = nullptr;
        ++m_out;
        return block;
    }
    const size_t size = SMALLEST << c;
    if (m_carveLeft < size) {
        // What is left of the chunk goes to the free lists of smaller sizes.
        while (m_carveLeft >= SMALLEST) {
            int k = classOf(m_carveLeft);
            if ((SMALLEST << k) > m_carveLeft) {
                --k;
            }
            FreeBlock* rest = reinterpret_cast<FreeBlock*>(m_carve);
            rest->next = m_free[k];
            m_free[k] = rest;
            m_carve += SMALLEST << k;
            m_carveLeft -= SMALLEST << k;
        }
        ChunkHead* chunk = static_cast<ChunkHead*>(map(CHUNK));
        chunk->next = m_chunks;
        m_chunks = chunk;
        m_carve = reinterpret_cast<char*>(chunk) + sizeof(ChunkHead);
        m_carveLeft = CHUNK - sizeof(ChunkHead);
    }
    void* p = m_carve;
    m_carve += size;
    m_carveLeft -= size;
    ++m_out;
    return p;
}

void CardDataPool::release(void* p, size_t n) {
    if (p == nullptr) {
        return;
    }
    wipe(p, n);
    if (n > LARGEST) {
        munmap(p, pageRound(n));
    }
    MutexLock guard(m_lock);
    if (n <= LARGEST) {
        FreeBlock* block = static_cast<FreeBlock*>(p);
        const int c = classOf(n);
        block->next = m_free[c];
        m_free[c] = block;
    }
    if (m_out > 0) {
        --m_out;
    }
    if (m_releaseWhenIdle && m_out == 0) {
        unmapChunks();
    }
}

void CardDataPool::releaseWhenIdle() {
    MutexLock guard(m_lock);
    m_releaseWhenIdle = true;
    if (m_out == 0) {
        unmapChunks();
    }
}

void CardDataPool::unmapChunks() {
    // Free blocks were wiped when released; the heads and the carve hold no
    // card data.
    while (m_chunks != nullptr) {
        ChunkHead* next = m_chunks->next;
        munmap(m_chunks, CHUNK);
        m_chunks = next;
    }
    std::fill(std::begin(m_free), std::end(m_free), nullptr);
    m_carve = nullptr;
    m_carveLeft = 0;
}

bool CardDataPool::locked() {
    MutexLock guard(m_lock);
    return m_mapped && m_locked;
}

}  // namespace quorin
