#include "api/DeviceListMonitor.h"

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <utility>

#include "api/ReaderSession.h"
#include "common/Guard.h"
#include "common/LibraryState.h"
#include "common/MutexLock.h"
#include "common/NeverDestroyed.h"
#include "transport/HIDConnection.h"

namespace quorin {

namespace {

HIDConnection::ListedReader const* findListed(
    const std::vector<HIDConnection::ListedReader>& readers, const std::string& systemPath) {
    for (const auto& reader : readers) {
        if (reader.systemPath == systemPath) {
            return &reader;
        }
    }
    return nullptr;
}

}  // namespace

DeviceListMonitor& DeviceListMonitor::instance() {
    // Never destroyed: a host thread may register while another exits.
    static NeverDestroyed<DeviceListMonitor> monitor;
    // Made after the session, so torn down before it: the monitor's thread
    // is joined before the session closes the readers and retires the
    // callback threads.
    static struct Teardown {
        ~Teardown() { instance().teardown(); }
    } teardown;
    return monitor.get();
}

DeviceListMonitor::DeviceListMonitor() {
    ReaderSession::instance();
}

void DeviceListMonitor::teardown() {
    if (LibraryState::forked()) {
        return;  // the thread and its descriptors are the parent's
    }
    try {
        MutexLock setting(m_setLock);
        m_tornDown = true;
        {
            MutexLock guard(m_lock);
            m_fn = nullptr;
            m_obj = nullptr;
            ++m_session;
        }
        stop();
        if (m_queue) {
            m_queue->abandon(UNLOAD_WAIT);
            m_queue.reset();
        }
    } catch (...) {
    }
}

long DeviceListMonitor::setCallback(CallBackDeviceListChanged fn, void* obj) {
    if (LibraryState::closed()) {
        return fn == nullptr ? 0 : 1;  // exiting, or a forked child: no monitor
    }
    uint64_t mine;
    {
        MutexLock setting(m_setLock);
        if (m_tornDown) {
            // The exit passed the monitor's teardown before the session's:
            // a thread started now would be stopped by nothing.
            return fn == nullptr ? 0 : 1;
        }
        {
            MutexLock guard(m_lock);
            m_fn = fn;
            m_obj = fn != nullptr ? obj : nullptr;
            mine = ++m_registration;
            if (fn == nullptr) {
                ++m_session;  // changes not yet delivered are dropped
            }
        }
        if (fn == nullptr) {
            stop();
        } else if (!m_thread.joinable() || stopping()) {
            stop();  // joins a thread that ended on its own
            if (!start()) {
                MutexLock guard(m_lock);
                m_fn = nullptr;
                m_obj = nullptr;
                ++m_session;
                return 1;
            }
        }
    }
    // The callback replaced or cleared here is not running once this
    // returns, unless this thread is running it.
    UniqueLock lock(m_lock);
    m_changed.wait(lock.native(), [&]() REQUIRES(m_lock) {
        return m_callRegistration == 0 || m_callRegistration >= mine ||
               m_callThread == std::this_thread::get_id();
    });
    return 0;
}

bool DeviceListMonitor::stopping() {
    MutexLock guard(m_lock);
    return m_stop || m_ended;
}

bool DeviceListMonitor::start() {
    std::string error;
    std::unique_ptr<DeviceEventSource> source = DeviceEventSource::create(&error);
    if (!source) {
        return false;
    }
    const int stopFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (stopFd < 0) {
        return false;
    }
    // Read after the source collects events: a reader that arrives meanwhile
    // is in this listing or reported, never neither.
    Listing listed;
    for (const auto& reader : HIDConnection::listReaders()) {
        listed.emplace(reader.systemPath, reader);
    }
    uint64_t session;
    {
        MutexLock guard(m_lock);
        m_stop = false;
        m_ended = false;
        session = m_session;
    }
    try {
        m_thread = std::thread([this, stopFd, session,
                                source = std::shared_ptr<DeviceEventSource>(std::move(source)),
                                listed = std::move(listed)]() mutable {
            guardedVoid([&] { run(*source, stopFd, std::move(listed), session); });
            // The source goes on this thread: a virtual bus's watch ends
            // before the thread does.
            source.reset();
            MutexLock guard(m_lock);
            m_ended = true;
            m_changed.notify_all();
        });
    } catch (...) {
        ::close(stopFd);
        return false;
    }
    // Named before the registration returns, so a host (and the timing
    // harness) finds it.
    pthread_setname_np(m_thread.native_handle(), THREAD_NAME);
    m_stopFd = stopFd;
    return true;
}

void DeviceListMonitor::stop() {
    if (!m_thread.joinable()) {
        return;
    }
    {
        MutexLock guard(m_lock);
        m_stop = true;
    }
    m_changed.notify_all();
    const uint64_t one = 1;
    ssize_t written = write(m_stopFd, &one, sizeof(one));
    (void)written;
    m_thread.join();
    ::close(m_stopFd);
    m_stopFd = -1;
}

void DeviceListMonitor::run(DeviceEventSource& source, int stopFd, Listing listed,
                            uint64_t session) {
    std::vector<Pending> pending;
    std::vector<DeviceEvent> events;
    for (;;) {
        int timeout = -1;  // nothing to look at again: wait for an event only
        if (!pending.empty()) {
            auto next =
                std::min_element(pending.begin(), pending.end(),
                                 [](const Pending& a, const Pending& b) { return a.next < b.next; })
                    ->next;
            auto wait = std::chrono::ceil<std::chrono::milliseconds>(next - Clock::now());
            timeout = static_cast<int>(std::max<long long>(0, wait.count()));
        }
        struct pollfd fds[2] = {{stopFd, POLLIN, 0}, {source.fd(), POLLIN, 0}};
        int ready = poll(fds, 2, timeout);
        if (ready < 0 && errno != EINTR) {
            return;
        }
        if ((fds[0].revents & POLLIN) != 0) {
            // Read, so a wake-up that was no stop (a forked child's copy of
            // the monitor stopping) cannot keep poll() returning at once.
            uint64_t count = 0;
            ssize_t taken = read(stopFd, &count, sizeof(count));
            (void)taken;
        }
        if (stopping()) {
            return;
        }
        if ((fds[1].revents & POLLNVAL) != 0) {
            return;
        }
        events.clear();
        if ((fds[1].revents & (POLLIN | POLLERR | POLLHUP)) != 0) {
            source.take(events);
        }
        handle(events, pending, listed, session);
    }
}

void DeviceListMonitor::handle(const std::vector<DeviceEvent>& events,
                               std::vector<Pending>& pending, Listing& listed, uint64_t session) {
    const Clock::time_point now = Clock::now();
    std::optional<std::vector<HIDConnection::ListedReader>> listing;
    // Reports the device at systemPath when it is listed under a name not
    // seen there yet; false when it is not listed.
    auto lookAt = [&](const std::string& systemPath) {
        if (!listing) {
            listing = HIDConnection::listReaders();
        }
        const HIDConnection::ListedReader* found = findListed(*listing, systemPath);
        if (found == nullptr) {
            return false;
        }
        auto it = listed.find(systemPath);
        if (it != listed.end() && it->second.serial == found->serial &&
            it->second.productId == found->productId) {
            return true;  // already seen
        }
        if (it != listed.end()) {
            // Another reader under the same path: the first one went unseen.
            report(session, it->second.name, ZEDRA_DEVICE_REMOVED);
        }
        listed[systemPath] = *found;
        // Its serial number may be another listed reader's too: that one is
        // renamed first, then the new one is reported under its name.
        renameListed(listed, found->serial, systemPath, session);
        report(session, listed[systemPath].name, ZEDRA_DEVICE_ARRIVED);
        return true;
    };
    auto forget = [&](const std::string& systemPath) {
        pending.erase(std::remove_if(pending.begin(), pending.end(),
                                     [&](const Pending& p) { return p.systemPath == systemPath; }),
                      pending.end());
    };

    // Devices still waiting to be listed came before this batch: when it
    // brings a reader that may be listed, the waiting ones listed now are
    // reported first, so a reader that needed a moment longer is not
    // overtaken by one plugged in after it. (A batch of removals only needs
    // no enumeration, and enumerating while devices go is what hidapi
    // handles worst.)
    const bool arrivals = std::any_of(events.begin(), events.end(), [](const DeviceEvent& e) {
        return !e.lost && e.appeared &&
               (e.vendorId < 0 ||
                HIDConnection::isKnownProduct(static_cast<unsigned short>(e.vendorId),
                                              static_cast<unsigned short>(e.productId)));
    });
    if (arrivals) {
        for (auto it = pending.begin(); it != pending.end();) {
            it = lookAt(it->systemPath) ? pending.erase(it) : it + 1;
        }
    }
    for (const DeviceEvent& event : events) {
        if (event.lost) {
            // What changed unseen: every reader the listing no longer shows
            // (or shows under another name) left, every one it newly shows
            // arrived.
            pending.clear();
            listing = HIDConnection::listReaders();
            for (auto it = listed.begin(); it != listed.end();) {
                const HIDConnection::ListedReader* now = findListed(*listing, it->first);
                if (now == nullptr || now->name != it->second.name) {
                    report(session, it->second.name, ZEDRA_DEVICE_REMOVED);
                    it = listed.erase(it);
                } else {
                    ++it;
                }
            }
            for (const auto& reader : *listing) {
                if (listed.emplace(reader.systemPath, reader).second) {
                    report(session, reader.name, ZEDRA_DEVICE_ARRIVED);
                }
            }
            continue;
        }
        if (!event.appeared) {
            forget(event.systemPath);
            auto it = listed.find(event.systemPath);
            if (it != listed.end()) {
                std::string name = std::move(it->second.name);
                const std::string serial = std::move(it->second.serial);
                listed.erase(it);
                report(session, name, ZEDRA_DEVICE_REMOVED);
                // A serial number it shared may name the reader left now.
                renameListed(listed, serial, std::string(), session);
            }
            continue;
        }
        // A device of another vendor or product is never listed: no need to
        // look at the enumeration for it.
        if (event.vendorId >= 0 &&
            !HIDConnection::isKnownProduct(static_cast<unsigned short>(event.vendorId),
                                           static_cast<unsigned short>(event.productId))) {
            continue;
        }
        forget(event.systemPath);
        if (!lookAt(event.systemPath)) {
            pending.push_back({event.systemPath, now + LISTING_PATIENCE, now + FIRST_LOOK_AGAIN,
                               FIRST_LOOK_AGAIN});
        }
    }

    for (auto it = pending.begin(); it != pending.end();) {
        if (it->next > now) {
            ++it;
        } else if (lookAt(it->systemPath) || now >= it->giveUp) {
            it = pending.erase(it);
        } else {
            it->step = std::min(it->step * 2, LONGEST_LOOK_AGAIN);
            it->next = now + it->step;
            ++it;
        }
    }
}

void DeviceListMonitor::renameListed(Listing& listed, const std::string& serial,
                                     const std::string& arrived, uint64_t session) {
    // Only readers with this serial number can change their names: named
    // among themselves, they are named as among all the listed ones.
    std::vector<HIDConnection::ListedReader> names;
    for (const auto& entry : listed) {
        if (entry.second.serial == serial) {
            names.push_back(entry.second);
        }
    }
    HIDConnection::nameReaders(names);
    for (const auto& now : names) {
        auto entry = listed.find(now.systemPath);
        if (entry == listed.end() || now.name == entry->second.name) {
            continue;
        }
        if (entry->first != arrived) {
            report(session, entry->second.name, ZEDRA_DEVICE_REMOVED);
            report(session, now.name, ZEDRA_DEVICE_ARRIVED);
        }
        entry->second.name = now.name;
    }
}

bool DeviceListMonitor::report(uint64_t session, const std::string& name, long change) {
    {
        UniqueLock lock(m_lock);
        m_changed.wait(lock.native(),
                       [&]() REQUIRES(m_lock) { return m_waiting < MAX_WAITING || m_stop; });
        if (m_stop) {
            return false;
        }
        ++m_waiting;
        if (!m_queue) {
            // Made at the first change: a registration that never reports
            // makes no callback thread set.
            // Zero stall bound: a callback that runs long holds the later
            // ones back, so two never run at once.
            m_queue = CallbackQueue::create(std::chrono::milliseconds(0));
        }
    }
    CallbackQueue::Posted posted =
        m_queue->post([this, session, name, change] { deliver(session, name, change); });
    if (posted != CallbackQueue::Posted::QUEUED) {
        MutexLock guard(m_lock);
        --m_waiting;  // unloading: no thread can be had any more
        return false;
    }
    return true;
}

void DeviceListMonitor::deliver(uint64_t session, const std::string& name, long change) {
    CallBackDeviceListChanged fn;
    void* obj;
    {
        MutexLock guard(m_lock);
        --m_waiting;
        m_changed.notify_all();
        if (session != m_session || m_fn == nullptr) {
            return;
        }
        fn = m_fn;
        obj = m_obj;
        m_callRegistration = m_registration;
        m_callThread = std::this_thread::get_id();
    }
    // Marks the call as ended however the host code leaves it.
    struct CallEnd {
        DeviceListMonitor& monitor;
        ~CallEnd() {
            MutexLock guard(monitor.m_lock);
            monitor.m_callRegistration = 0;
            monitor.m_callThread = std::thread::id();
            monitor.m_changed.notify_all();
        }
    } end{*this};
    fn(obj, name.c_str(), change);
}

}  // namespace quorin
