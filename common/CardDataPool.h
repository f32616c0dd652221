// The memory that holds card data: a small heap of its own, kept out of core
// dumps and, where the limit on locked memory allows, out of swap; every
// block is wiped before it is reused or returned.
//
// Blocks come in sizes of powers of two from 32 bytes to 64 KiB, carved from
// anonymous 256 KiB chunks marked MADV_DONTDUMP and locked with mlock; a
// block that is released is wiped (a wipe the compiler cannot drop) and kept
// for the next request of its size. While the library is in use chunks are
// not returned: the pool stays as large as the most card data the process
// held at once. Once the library is torn down (unload or exit), the chunks
// are unmapped as soon as no block is out, so a library loaded and unloaded
// again and again does not pile up mappings. A larger request gets a mapping
// of its own, wiped and unmapped when released.
//
// When mlock fails (RLIMIT_MEMLOCK too small) the pool goes on with memory
// that may be swapped, and says so once in the debug log.
//
// Thread-safe; m_lock is a leaf lock. The pool lives in static storage and is
// never destroyed: threads that run at exit may still release card data.
#pragma once

#include <cstddef>

#include "common/MutexLock.h"
#include "common/NeverDestroyed.h"

namespace quorin {

class CardDataPool {
public:
    static CardDataPool& instance();

    // At least n bytes, aligned for any type. Throws std::bad_alloc when no
    // memory can be mapped.
    void* allocate(size_t n);
    // Wipes the first n bytes of p (what allocate(n) gave) and takes it back.
    void release(void* p, size_t n);

    // Overwrites n bytes at p with zeros; never optimised away.
    static void wipe(void* p, size_t n);
    // Zeroes the vector registers, which the string functions leave holding
    // the last bytes they moved: a later call that saves registers on the
    // stack (the dynamic linker binding a function of a lazily bound
    // library) would otherwise write card data there. No-op off x86-64.
    static void wipeRegisters();
    // Wipes the given bytes of the calling thread's stack below the caller's
    // frame (what the functions it called left there after they handled card
    // data: their locals, saved registers), then the registers. The library's
    // own threads, whose stacks are large, wipe THREAD_STACK_WIPE; a host
    // thread, whose stack may be small, HOST_STACK_WIPE.
    static void wipeStack(size_t bytes = THREAD_STACK_WIPE);
    static constexpr size_t THREAD_STACK_WIPE = 16 * 1024;
    static constexpr size_t HOST_STACK_WIPE = 4 * 1024;

    // Whether the pool's memory is locked (false before the first chunk).
    bool locked();

    // At least n bytes for a buffer that lives as long as the library (the
    // session's fixed text buffers), zeroed, from an area of the library's
    // own static storage with the same protection as the chunks. That area
    // goes with the library when it is unloaded, and stays mapped at exit
    // for a host thread still reading a text. Never released. Throws
    // std::bad_alloc when the area is used up (the buffers are fixed in
    // number and size, and fit).
    void* allocateForLifetime(size_t n);

    // Called once by the library's teardown: from now on the chunks are
    // unmapped whenever no block is out (at once if none is). A later
    // request maps a new chunk, so a thread still running at exit is safe.
    void releaseWhenIdle();

    // Wipes HOST_STACK_WIPE bytes of stack and the registers when it goes:
    // made first thing by an exported function that handles card data on a
    // host thread.
    class HostStackWipe {
    public:
        HostStackWipe() = default;
        ~HostStackWipe() { wipeStack(HOST_STACK_WIPE); }
        HostStackWipe(const HostStackWipe&) = delete;
        HostStackWipe& operator=(const HostStackWipe&) = delete;
    };

private:
    friend class NeverDestroyed<CardDataPool>;
    CardDataPool() = default;
    static constexpr int CLASSES = 12;  // 32 B .. 64 KiB
    static constexpr size_t SMALLEST = 32;
    static constexpr size_t CHUNK = 256 * 1024;

    static int classOf(size_t n);
    // pthread_atfork handlers: the lock is held across a fork.
    static void lockForFork() NO_THREAD_SAFETY_ANALYSIS;
    static void unlockAfterFork() NO_THREAD_SAFETY_ANALYSIS;
    // An anonymous mapping of n bytes (a multiple of the page size), kept
    // out of core dumps and locked when it can be.
    void* map(size_t n) REQUIRES(m_lock);
    // Marks memory at p (n bytes, page-aligned) as card-data memory: out of
    // core dumps, locked where the limit allows.
    void protect(void* p, size_t n) REQUIRES(m_lock);
    // Unmaps every chunk and forgets the free lists; only with no block out.
    void unmapChunks() REQUIRES(m_lock);

    struct FreeBlock {
        FreeBlock* next;
    };
    // The head of every chunk: the chunks form a list, walked at teardown.
    // Its size keeps the blocks after it aligned for any type.
    struct alignas(std::max_align_t) ChunkHead {
        ChunkHead* next;
    };

    Mutex m_lock;
    FreeBlock* m_free[CLASSES] GUARDED_BY(m_lock) = {};
    char* m_carve GUARDED_BY(m_lock) = nullptr;  // the unused rest of the newest chunk
    size_t m_carveLeft GUARDED_BY(m_lock) = 0;
    bool m_mapped GUARDED_BY(m_lock) = false;
    bool m_locked GUARDED_BY(m_lock) = true;
    ChunkHead* m_chunks GUARDED_BY(m_lock) = nullptr;
    size_t m_out GUARDED_BY(m_lock) = 0;  // blocks handed out and not released
    bool m_releaseWhenIdle GUARDED_BY(m_lock) = false;
    size_t m_lifetimeUsed GUARDED_BY(m_lock) = 0;  // bytes of the static area given out
};

}  // namespace quorin
