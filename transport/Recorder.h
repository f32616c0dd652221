// The flight recorder: what passes the transport of every open reader,
// appended to the file named by QUORIN_RECORD (docs/RECORDING.md gives the
// format).
//
// Off unless QUORIN_RECORD names a file when a connection opens: then the
// connection gets a RecordedLink and calls it at each transfer; without one
// it pays a single test of a null pointer. The environment is read at each
// open while no recorded connection is open, so a host (or a test) may name
// another file between sessions. The file is created with mode 0600, must be
// a regular file, and is never followed through a symbolic link. In it, clear
// card data is replaced by a test card (CardDataScrubber), unless
// QUORIN_RECORD_CARD_DATA=1 asks to keep it as read.
//
// Threads: the connections' threads post events (post() takes m_lock only,
// copies the bytes and returns; it never waits for the disk). The writer
// thread, started by the first recorded open, replaces card data, formats
// the lines and writes them. At most MAX_QUEUED_BYTES wait for it: an event
// beyond that is dropped and the file says how many were, where they were
// lost. The last recorded connection's close stops it and waits up to
// CLOSE_WAIT for it to write what is queued, close the file and end, then
// joins it; a disk slower than that leaves the join to the next recording's
// first open (which waits CLOSE_WAIT more, and records nothing while the
// writer still runs), or to retire() at the library's teardown (bounded
// too), so neither a close, even one made on a receiving thread, nor an open
// hangs on the disk.
//
// Fork: in a child nothing is posted, started or joined (LibraryState); the
// file is closed on exec.
//
// Locks: m_threadLock (start and join of the writer, the open links) before
// m_lock (the queue); m_lock is a leaf, taken under a connection's locks.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <thread>

#include "common/MutexLock.h"
#include "transport/RecordedEvent.h"

namespace quorin {

class CardDataScrubber;
class RecordedLink;

class Recorder {
public:
    static constexpr size_t MAX_QUEUED_BYTES = 4 << 20;
    static constexpr size_t MAX_QUEUED_EVENTS = 16384;
    static constexpr std::chrono::milliseconds CLOSE_WAIT{2000};

    static Recorder& instance();
    // True when QUORIN_RECORD names a file: a connection that is opening
    // gathers its description only then.
    static bool requested();

    // A link for a connection that has just opened, or null when recording
    // is off or the file cannot be used (said once on standard error).
    // description: the fields of its "open" line; framing and product ID
    // tell the scrubber how to read what it carries.
    std::shared_ptr<RecordedLink> open(const std::string& description,
                                       RecordedEvent::Framing framing, long productId);

    // From RecordedLink: queues an event (dropped when the queue is full).
    void post(RecordedEvent&& event);
    // From RecordedLink::close: the link's last event; the last open link
    // stops the writer and joins it once it has written everything.
    void closeLink(RecordedEvent&& event);
    // At the library's teardown, after the readers closed: a writer not
    // joined yet gets up to timeout to end. Makes no recorder.
    static void retire(std::chrono::milliseconds timeout);

    Recorder(const Recorder&) = delete;
    Recorder& operator=(const Recorder&) = delete;

private:
    Recorder() = default;
    template <typename T>
    friend class NeverDestroyed;

    // Opens the file QUORIN_RECORD names (m_threadLock held, no recorded
    // connection open). False when recording is off.
    bool useFile() REQUIRES(m_threadLock);
    void enqueue(RecordedEvent&& event, bool always) REQUIRES(m_lock);
    // Stops the writer, waits up to timeout for it to end, and joins it if
    // it did.
    void stopWriter(std::chrono::milliseconds timeout) REQUIRES(m_threadLock);
    void writerThread();
    void writeOut(RecordedText& text);

    Mutex m_threadLock;
    std::thread m_writer GUARDED_BY(m_threadLock);
    int m_openLinks GUARDED_BY(m_threadLock) = 0;
    std::string m_path GUARDED_BY(m_threadLock);  // the file open now
    bool m_reported GUARDED_BY(m_threadLock) = false;

    Mutex m_lock;
    std::condition_variable m_wake;
    std::condition_variable m_ended;  // the writer ended (m_writerRunning false)
    bool m_writerRunning GUARDED_BY(m_lock) = false;
    // Made when the writer starts and freed when it ends, so a recorder
    // that does not record holds nothing on the heap (an unloaded library
    // would lose it).
    std::unique_ptr<std::deque<RecordedEvent>> m_queue GUARDED_BY(m_lock);
    size_t m_queuedBytes GUARDED_BY(m_lock) = 0;
    std::map<unsigned, size_t> m_dropped GUARDED_BY(m_lock);  // per link, since its last event
    bool m_stop GUARDED_BY(m_lock) = false;
    unsigned m_nextLink GUARDED_BY(m_lock) = 0;

    // Set before the writer starts; the writer's own from then until it
    // ends (it closes the file then), read by open() only after its join.
    int m_fd = -1;
    bool m_keepCardData = false;
    bool m_headerWritten = false;
    long long m_startNanos = 0;
    size_t m_lostBytes = 0;  // of lines the file did not take
    std::map<unsigned, std::unique_ptr<CardDataScrubber>> m_scrubbers;
};

}  // namespace quorin
