#include "transport/Recorder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/CardDataPool.h"
#include "common/Guard.h"
#include "common/LibraryState.h"
#include "common/NeverDestroyed.h"
#include "transport/CardDataScrubber.h"
#include "transport/RecordedLink.h"
#include "transport/RecordingFormat.h"

#ifndef QUORIN_VERSION_TEXT
#define QUORIN_VERSION_TEXT "1"
#endif

namespace quorin {

namespace {

// "%p" in the file name stands for the process ID: one file per process.
std::string expandPath(const char* name) {
    std::string path;
    for (const char* p = name; *p != '\0'; ++p) {
        if (p[0] == '%' && p[1] == 'p') {
            path += std::to_string(static_cast<long>(getpid()));
            ++p;
        } else {
            path += *p;
        }
    }
    return path;
}

bool keepCardDataAsked() {
    const char* keep = std::getenv("QUORIN_RECORD_CARD_DATA");
    return keep != nullptr && std::strcmp(keep, "1") == 0;
}

}  // namespace

namespace {
std::atomic<Recorder*> g_recorder{nullptr};
}  // namespace

Recorder& Recorder::instance() {
    // Never destroyed: a connection of a thread the host did not stop may
    // still post while the process exits. Its writer is joined when the
    // last recorded connection closes, which the session's teardown does,
    // or by retire() at the end of that teardown.
    static NeverDestroyed<Recorder> recorder;
    g_recorder.store(&recorder.get());
    return recorder.get();
}

void Recorder::retire(std::chrono::milliseconds timeout) {
    Recorder* recorder = g_recorder.load();
    if (recorder == nullptr || LibraryState::forked()) {
        return;
    }
    guardedVoid([&] {
        MutexLock threads(recorder->m_threadLock);
        recorder->stopWriter(timeout);
        std::string().swap(recorder->m_path);  // nothing of it left on the heap
    });
}

bool Recorder::requested() {
    const char* name = std::getenv("QUORIN_RECORD");
    return name != nullptr && name[0] != '\0' && !LibraryState::forked();
}

bool Recorder::useFile() {
    const char* name = std::getenv("QUORIN_RECORD");
    std::string path = name != nullptr && name[0] != '\0' ? expandPath(name) : std::string();
    // Opened again for each recording (from the first open of a reader to
    // the last close, whose writer closes it): a file moved away or removed
    // meanwhile is made anew, and the settings of now apply.
    if (path != m_path) {
        m_reported = false;
    }
    m_path = path;
    if (path.empty()) {
        return false;
    }
    // 0600 from the start; never through a link an attacker left there; a
    // terminal or a FIFO could block the writer for ever: regular files only.
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY,
                    S_IRUSR | S_IWUSR);
    struct stat st {};
    const char* why = nullptr;
    if (fd < 0) {
        why = std::strerror(errno);
    } else if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        why = "not a regular file";
    } else if ((st.st_mode & 0077) != 0 && fchmod(fd, S_IRUSR | S_IWUSR) != 0) {
        why = "its mode cannot be made 0600";
    }
    if (why != nullptr) {
        if (fd >= 0) {
            ::close(fd);
        }
        if (!m_reported) {
            std::fprintf(stderr, "libquorin: QUORIN_RECORD: cannot record to %s: %s\n",
                         path.c_str(), why);
            m_reported = true;
        }
        return false;
    }
    m_fd = fd;
    m_keepCardData = keepCardDataAsked();
    m_headerWritten = false;
    return true;
}

std::shared_ptr<RecordedLink> Recorder::open(const std::string& description,
                                             RecordedEvent::Framing framing, long productId) {
    if (LibraryState::closed()) {
        return nullptr;  // a forked child, or the teardown
    }
    return guarded<std::shared_ptr<RecordedLink>>(nullptr, [&]() -> std::shared_ptr<RecordedLink> {
        MutexLock threads(m_threadLock);
        // The file is chosen while no recorded connection is open; the
        // connections of one recording share it. The writer of the one
        // before, stopped already, has closed its file once joined.
        if (m_openLinks == 0) {
            // A writer that outlived the last close (a disk that does not
            // take its lines) gets CLOSE_WAIT more; the open is never held
            // longer: while that writer runs, it is not recorded.
            stopWriter(CLOSE_WAIT);
            if (m_writer.joinable()) {
                return nullptr;
            }
            if (!useFile()) {
                return nullptr;
            }
        }
        RecordedEvent event;
        event.kind = RecordedEvent::OPEN;
        event.value = static_cast<int>(productId);
        event.extra = framing;
        event.nanos = RecordingFormat::now();
        event.bytes.assign(description.begin(), description.end());
        std::shared_ptr<RecordedLink> link;
        const bool start = !m_writer.joinable();
        {
            MutexLock guard(m_lock);
            if (start) {
                m_queue = std::make_unique<std::deque<RecordedEvent>>();
                m_writerRunning = true;
                m_stop = false;
            }
            event.link = ++m_nextLink;
            link = std::make_shared<RecordedLink>(event.link);
            enqueue(std::move(event), true);
        }
        if (start) {
            m_writer = std::thread([this] {
                guardedVoid([this] { writerThread(); });
                ::close(m_fd);
                m_fd = -1;
                {
                    MutexLock guard(m_lock);
                    m_writerRunning = false;
                    m_queue.reset();
                    m_dropped.clear();
                }
                m_ended.notify_all();
            });
        }
        ++m_openLinks;
        return link;
    });
}

void Recorder::enqueue(RecordedEvent&& event, bool always) {
    if (!m_writerRunning) {
        return;  // retired at the teardown: nothing would write it
    }
    if (!always && (m_queue->size() >= MAX_QUEUED_EVENTS ||
                    m_queuedBytes + event.bytes.size() > MAX_QUEUED_BYTES)) {
        ++m_dropped[event.link];
        return;
    }
    auto dropped = m_dropped.find(event.link);
    if (dropped != m_dropped.end()) {
        event.droppedBefore = dropped->second;
        m_dropped.erase(dropped);
    }
    m_queuedBytes += event.bytes.size();
    m_queue->push_back(std::move(event));
    m_wake.notify_one();
}

void Recorder::post(RecordedEvent&& event) {
    if (LibraryState::forked()) {
        return;
    }
    guardedVoid([&] {
        MutexLock guard(m_lock);
        enqueue(std::move(event), false);
    });
}

void Recorder::closeLink(RecordedEvent&& event) {
    if (LibraryState::forked()) {
        return;
    }
    guardedVoid([&] {
        MutexLock threads(m_threadLock);
        {
            MutexLock guard(m_lock);
            enqueue(std::move(event), true);
        }
        if (m_openLinks > 0 && --m_openLinks == 0) {
            // Everything queued is written before the writer ends.
            stopWriter(CLOSE_WAIT);
        }
    });
}

void Recorder::stopWriter(std::chrono::milliseconds timeout) {
    if (!m_writer.joinable()) {
        return;
    }
    bool ended;
    {
        UniqueLock guard(m_lock);
        m_stop = true;
        m_wake.notify_one();
        ended = m_ended.wait_for(guard.native(), timeout,
                                 [this]() REQUIRES(m_lock) { return !m_writerRunning; });
    }
    if (ended) {
        m_writer.join();
    }
}

void Recorder::writerThread() {
    RecordedText text;
    for (;;) {
        std::deque<RecordedEvent> batch;
        bool stop;
        {
            UniqueLock lock(m_lock);
            m_wake.wait(lock.native(),
                        [this]() REQUIRES(m_lock) { return !m_queue->empty() || m_stop; });
            batch.swap(*m_queue);
            m_queuedBytes = 0;
            stop = m_stop && batch.empty();
        }
        if (stop) {
            break;
        }
        if (!m_headerWritten) {
            m_headerWritten = true;
            m_startNanos = batch.front().nanos;
            char started[64] = "";
            time_t wall = time(nullptr);
            tm utc{};
            if (gmtime_r(&wall, &utc) != nullptr) {
                strftime(started, sizeof(started), "%Y-%m-%dT%H:%M:%SZ", &utc);
            }
            text += ("quorin-recording " + std::to_string(RecordingFormat::VERSION) +
                     " process=" + std::to_string(static_cast<long>(getpid())) +
                     " library=" + QUORIN_VERSION_TEXT + " started=" + started +
                     " card-data=" + (m_keepCardData ? "kept" : "replaced") + "\n")
                        .c_str();
        }
        for (RecordedEvent& event : batch) {
            auto found = m_scrubbers.find(event.link);
            if (event.kind == RecordedEvent::OPEN) {
                auto scrubber = std::make_unique<CardDataScrubber>(
                    event.link, static_cast<RecordedEvent::Framing>(event.extra), event.value,
                    m_keepCardData, m_startNanos);
                found = m_scrubbers.emplace(event.link, std::move(scrubber)).first;
            }
            if (found == m_scrubbers.end()) {
                continue;
            }
            const bool closing = event.kind == RecordedEvent::CLOSE;
            found->second->take(std::move(event), &text);
            if (closing) {
                m_scrubbers.erase(found);
            }
        }
        batch.clear();
        writeOut(text);
    }
    // Links still open at a retire: what they held goes (wiped) unwritten.
    m_scrubbers.clear();
}

void Recorder::writeOut(RecordedText& text) {
    if (m_lostBytes > 0) {
        // Said in the file as soon as it takes lines again.
        RecordedText lost = ("# " + std::to_string(m_lostBytes) +
                             " bytes of lines before this one could not be written\n")
                                .c_str();
        text.insert(0, lost);
        m_lostBytes = 0;
    }
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(m_fd, text.data() + done, text.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            // A full disk: this batch is lost, the next one tries again.
            m_lostBytes += text.size() - done;
            break;
        }
    }
    // With QUORIN_RECORD_CARD_DATA=1 the lines hold card data as read.
    CardDataPool::wipe(&text[0], text.size());
    text.clear();
}

}  // namespace quorin
