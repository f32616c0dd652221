// The process-wide session state every exported function shares: the device
// list and map built by enumeration, the first-generation reader, the Ex
// readers with their delegates, and the library's result buffers.
//
// Handles. An Ex reader is known to the host by a handle from a counter that
// is never reused in the process, so a closed reader's handle means the same
// as an unknown one for ever, whatever reader is opened afterwards.
//
// Threads. Command workers and callback threads run beside the host's
// threads, and hosts may call the Ex functions on different readers from
// different threads at once, so the tables are guarded by m_lock. Readers are
// held by shared pointers: a call in progress keeps its reader alive while
// another thread closes it (the reader then answers 5).
//
// Closing (first generation and Ex alike), in this order:
//  1. the reader leaves the table: new calls see an unknown handle;
//  2. its queued asynchronous commands are dropped and the running one is
//     waited for;
//  3. under the reader's exchange lock (so after any exchange in flight) the
//     delegate is detached and the connection destroyed, which joins the
//     receiving thread: no further event can arrive;
//  4. the delegate's callback queue runs dry: every callback of an event that
//     arrived before the close has returned, except the one the closing
//     thread may be running itself.
// When the close returns no callback of that reader runs or will start. A
// second close of the same reader (from another thread at the same time, or
// after a close made from inside one of its callbacks, which returns before
// that callback) finds its handle unknown but still waits: for step 3 of the
// close in progress, then for every callback of the reader but its own.
//
// Exit and fork. The session is never destroyed; its teardown runs when the
// process exits (or the library is unloaded) and from then on every call
// gets the answers of "no reader" (LibraryState::closed), as every call in
// a forked child does, before any lock is taken.
#pragma once

#include <atomic>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "api/CallbackQueue.h"
#include "api/LocalDelegateEx.h"
#include "common/CardDataAllocator.h"
#include "common/CardText.h"
#include "common/LibraryState.h"
#include "common/MutexLock.h"
#include "common/NeverDestroyed.h"
#include "reader/CRConfigTable.h"
#include "reader/Strivo.h"

namespace quorin {

class ReaderSession {
public:
    static constexpr size_t DEVICE_LIST_SIZE = 4096;
    static constexpr size_t CARD_DATA_BUFFER_SIZE = 16384;
    static constexpr size_t SERIAL_NUMBER_BUFFER_SIZE = 128;
    static constexpr size_t SEND_COMMAND_RESULT_SIZE = 26112;
    static constexpr size_t RING_SLOT = 256;
    static constexpr size_t RING_TEXT_MAX = 767;
    // Texts each host thread keeps through keepText() before reusing storage.
    static constexpr size_t THREAD_TEXT_SLOTS = 32;

    struct OpenedReader {
        unsigned long handle = 0;
        std::string path;
        // The device the path resolved to (iConnection::deviceOf): a reader
        // is open at most once, whatever name each open used.
        std::string device;
        std::shared_ptr<Strivo> reader;
        std::unique_ptr<LocalDelegateEx> delegate;
        // The reader's asynchronous commands, one after the other.
        std::shared_ptr<CallbackQueue> commands;
    };

    // The process-wide session, never destroyed (see teardown()).
    static ReaderSession& instance();

    // ---- enumeration
    // Rebuilds g_deviceList and g_deviceMap from the attached readers.
    char* enumerate();

    // ---- first generation
    long openFirst(const char* name);
    void closeFirst();
    std::shared_ptr<Strivo> current();
    // The queue of the first-generation reader's asynchronous commands; null
    // when none is open.
    std::shared_ptr<CallbackQueue> firstCommands();

    // ---- Ex generation
    unsigned long openEx(const char* name);
    void closeEx(unsigned long handle);
    // The reader behind a handle that is open now; null for 0 or an unknown
    // handle.
    std::shared_ptr<Strivo> find(unsigned long handle);
    // The queue of the reader's asynchronous commands; null for an unknown
    // handle.
    std::shared_ptr<CallbackQueue> commandsOf(unsigned long handle);
    // Runs fn(delegate) under the table lock when the handle is open.
    template <typename Fn>
    void withExDelegate(unsigned long handle, Fn&& fn) {
        if (LibraryState::closed()) {
            return;
        }
        MutexLock guard(m_lock);
        const OpenedReader* entry = entryOf(handle);
        if (entry != nullptr && entry->delegate) {
            fn(*entry->delegate);
        }
    }

    // Waits, at most timeout, until no asynchronous command and no callback
    // of any open or closing reader (nor of the first generation) is queued
    // or running.
    // For tests and the fuzzers; true when all are idle.
    bool waitIdle(std::chrono::milliseconds timeout);

    // ---- result texts
    // Copies s (cut to 767 characters) into the next slot of the shared
    // result ring (the first and plain generations' ring).
    const char* staticString(const char* s);
    // Returns a text of any length (up to a NUL in s) from storage of the
    // calling thread that survives its next THREAD_TEXT_SLOTS - 1 calls of
    // keepText(): threads working on different readers never overwrite each
    // other's results.
    const char* keepText(std::string_view s);
    // The raw card report text of GetRawData(0), kept until the next
    // THREAD_TEXT_SLOTS - 1 such texts, or until wipeFirstGenerationTexts.
    const char* keepRawText(CardText text);
    // Wipes every text of the first and plain generations that may hold card
    // data: the result ring, the card data buffer, the raw report texts and
    // the first-generation delegate's ring (ClearCardData, CloseDevice).
    void wipeFirstGenerationTexts();

    // ---- result codes
    // Records the result of an Ex call that the calling thread made on
    // handle (also for unknown handles), so GetResultCodeEx on this thread
    // gives its own result, not one of another thread's command. readerCode
    // is the reader's own code in its answer, -1 when none was read
    // (GetReaderResultCodeEx).
    static void noteResult(unsigned long handle, int code, int readerCode = -1);
    // A queued command's outcome as the thread that queued it reads it: its
    // result, and the reader's own code in its answer.
    struct Outcome {
        std::atomic<int> code;
        std::atomic<int> readerCode{-1};
    };
    // Records that the calling thread queued a command on handle: from now
    // on its result is that command's outcome, which the command sets when
    // its exchange ends (5 for a command dropped before it ran, when the
    // last holder of the PendingResult lets go). Until then the thread has
    // no result of its own for the handle.
    class PendingResult {
    public:
        explicit PendingResult(std::shared_ptr<Outcome> outcome) : m_outcome(std::move(outcome)) {}
        PendingResult(const PendingResult&) = delete;
        PendingResult& operator=(const PendingResult&) = delete;
        ~PendingResult();
        void set(int code, int readerCode) const;

    private:
        std::shared_ptr<Outcome> m_outcome;
    };
    static std::shared_ptr<PendingResult> notePending(unsigned long handle);
    // The result the calling thread last noted for handle (and the reader's
    // code in it, when readerCode is not null); false when none, or while
    // its queued command has not ended.
    static bool threadResult(unsigned long handle, int* code, int* readerCode = nullptr);

    // Buffers of the first and plain generations. The two that hold card
    // data (the card data string and TLV payload; the result ring in the
    // buffer of SendCommand) live in the card data pool's static area.
    struct CardDataText {
        char bytes[CARD_DATA_BUFFER_SIZE];
    };
    struct ResultText {
        char bytes[SEND_COMMAND_RESULT_SIZE];
    };
    char g_deviceList[DEVICE_LIST_SIZE];
    LifetimeCardData<CardDataText> m_cardDataText;
    char* const cardDataBuffer = m_cardDataText->bytes;
    char DeviceSerialNumberBuffer[SERIAL_NUMBER_BUFFER_SIZE];
    LifetimeCardData<ResultText> m_resultText;
    char* const sendCommandResult = m_resultText->bytes;
    std::atomic<bool> bInBusy{false};

private:
    friend class NeverDestroyed<ReaderSession>;
    ReaderSession();
    // At exit or unload: refuses later opens, closes what the host left
    // open (bounded waits), retires the callback threads and empties the
    // tables. Does nothing in a forked child.
    void teardown();
    // Called back by enumDevices inside enumerateLocked(), so under m_lock;
    // the analysis cannot follow the lock through the callback.
    static bool enum_Strivo(const char* pathScheme, void* extraInfo) NO_THREAD_SAFETY_ANALYSIS;
    // enumerate() with m_lock held.
    void enumerateLocked() REQUIRES(m_lock);
    // The entry of an open handle, or null (under m_lock).
    const OpenedReader* entryOf(unsigned long handle) const REQUIRES(m_lock);
    // One reader of the device list: its listed path, its model row, and
    // the device it is (in iConnection::deviceOf's form).
    struct ListedReader {
        std::string path;
        const CRConfigTable* row;
        std::string device;
    };
    // An Ex reader whose close has begun, kept until every callback of it has
    // returned (see the top of this file).
    struct ClosingReader {
        unsigned long handle = 0;
        std::shared_ptr<CallbackQueue> callbacks;
        bool stopped = false;  // step 3 done (under the session's m_lock)
    };

    // Steps 2 and 3 of a close (see the top of this file). delegate, when
    // set, is told the reader disconnected before it is detached; the
    // callbacks queue is closed afterwards when closeCallbacks is set.
    static void shutDown(const std::shared_ptr<Strivo>& reader,
                         const std::shared_ptr<CallbackQueue>& commands, Strivo_Delegate* delegate,
                         const std::shared_ptr<CallbackQueue>& callbacks, bool closeCallbacks);
    // The model row of a path (under m_lock): the listed reader's of that
    // path, else that of the listed reader which is the device the path
    // resolves to; null when neither is listed.
    const CRConfigTable* rowOf(const std::string& path, const std::string& device) const
        REQUIRES(m_lock);
    // rowOf, reading the device list again once when the device the path
    // resolved to is not in it (under m_lock).
    const CRConfigTable* rowFor(const std::string& path, const std::string& device)
        REQUIRES(m_lock);
    // Drops the closing readers none of whose callbacks runs (under m_lock).
    void pruneClosing() REQUIRES(m_lock);
    // The exchange lock of a device, shared by every reader object open on
    // it (the first generation and the Ex generation may each hold the same
    // reader): their exchanges must not interleave on the device. Null for
    // a device that is not known (under m_lock).
    std::shared_ptr<Mutex> deviceLock(const std::string& device) REQUIRES(m_lock);
    // Strivo::open of target (a path of device), holding and then sharing
    // the device's exchange lock (under m_lock).
    std::shared_ptr<Strivo> openShared(const std::string& target, const std::string& device,
                                       const CRConfigTable* row) REQUIRES(m_lock);
    // The entry the first generation opens for no name or an "HID://" name:
    // the listed reader the name names exactly, else the last listed HID
    // reader; null when no HID reader is listed.
    const ListedReader* firstGenerationEntry(const char* name) const REQUIRES(m_lock);
    // Tells the callback threads whether any reader is open (they wait for
    // further callbacks only then; under m_lock).
    void updateCallbackThreads() REQUIRES(m_lock);

    Mutex m_lock;  // guards the tables below
    std::vector<ListedReader> g_deviceMap GUARDED_BY(m_lock);
    std::shared_ptr<Strivo> openedDevice GUARDED_BY(m_lock);
    std::shared_ptr<CallbackQueue> m_firstCommands GUARDED_BY(m_lock);
    std::vector<OpenedReader> g_openedDeviceMap GUARDED_BY(m_lock);
    std::vector<std::shared_ptr<ClosingReader>> m_closing GUARDED_BY(m_lock);
    // First-generation closes between taking the reader and finishing step
    // 3, and until they return; and whether the last close ran inside a
    // first-generation callback (which it returned before).
    int m_firstStopping GUARDED_BY(m_lock) = 0;
    int m_firstClosing GUARDED_BY(m_lock) = 0;
    bool m_firstClosedInCallback GUARDED_BY(m_lock) = false;
    std::condition_variable m_stopped;  // a close finished step 3
    unsigned long m_nextHandle GUARDED_BY(m_lock) = 1;
    std::map<std::string, std::weak_ptr<Mutex>> m_deviceLocks GUARDED_BY(m_lock);

    std::atomic<int> m_ringIndex{0};
    Mutex m_rawTextLock;  // guards the raw report texts
    CardText m_rawTexts[THREAD_TEXT_SLOTS] GUARDED_BY(m_rawTextLock);
    size_t m_rawTextNext GUARDED_BY(m_rawTextLock) = 0;
};

}  // namespace quorin
