// Reader arrival and removal (OnDeviceListChanged): one thread of the
// library watches a DeviceEventSource while a host callback is registered
// and tells the host of every reader the device list gains or loses.
//
// What is reported is what the device list shows: the monitor keeps the
// listing it last saw (system path -> device path) and, on each event, looks
// at the enumeration (HIDConnection::listReaders: the same filter and names
// as GetDeviceList). A device that appeared but is not listed yet (its
// description incomplete) is looked at again, at growing intervals, for
// LISTING_PATIENCE, and reported once it is listed; the next batch of
// events looks at such devices first, so one plugged in later does not
// overtake it. A removal is reported
// for a device the monitor saw listed. A reader whose listed name changes
// while it stays attached (readers that share a serial number are listed by
// their system paths) is reported removed under its old name and arrived
// under its new one. Events are handled in the order the
// source gives them; all changes of one batch are judged against one
// enumeration made after the batch arrived. When the source lost events,
// the whole listing is compared with what was seen: readers gone are
// reported removed, new ones arrived. So the changes reported, replayed in
// order, always add up to what the monitor last saw listed.
//
// The host callback runs on a callback queue of its own (CallbackQueue on
// CallbackWorkers) that never hands on: never on the monitor's thread,
// never on a caller's thread, never two at a time, in the order of the
// changes. The monitor's thread waits while MAX_WAITING changes wait for the
// callback; the source keeps later events meanwhile, up to its own bound.
//
// Threads and stop protocol: the monitor thread runs from the registration
// that finds none running to the registration of null or the unload.
// Stop: m_stop under m_lock (ends a wait for room) and the stop eventfd
// (ends poll); the thread reads the eventfd when it wakes on it and ends
// only when m_stop is set. Join: by the thread that clears the
// registration, or by the teardown at unload or exit, which then gives
// running callbacks UNLOAD_WAIT. After the teardown, and in a forked child,
// a registration is refused (1).
//
// Locks: m_setLock serialises registrations (held while starting and
// joining the thread, never while waiting for a callback); m_lock guards
// the registration, the session and the call in progress; no host code runs
// under either. Order: m_setLock, then m_lock.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Quorin.h"
#include "api/CallbackQueue.h"
#include "common/MutexLock.h"
#include "common/NeverDestroyed.h"
#include "transport/DeviceEventSource.h"
#include "transport/HIDConnection.h"

namespace quorin {

class DeviceListMonitor {
public:
    static constexpr size_t MAX_WAITING = 1024;
    static constexpr std::chrono::milliseconds LISTING_PATIENCE{10000};
    static constexpr std::chrono::milliseconds FIRST_LOOK_AGAIN{20};
    static constexpr std::chrono::milliseconds LONGEST_LOOK_AGAIN{1000};
    static constexpr std::chrono::milliseconds UNLOAD_WAIT{2000};
    // The monitor thread's name (/proc/<pid>/task/<tid>/comm).
    static constexpr const char* THREAD_NAME = "quorin-monitor";

    // The process-wide monitor; stopped at unload, never destroyed.
    static DeviceListMonitor& instance();
    DeviceListMonitor(const DeviceListMonitor&) = delete;
    DeviceListMonitor& operator=(const DeviceListMonitor&) = delete;

    // Registers fn with obj (replacing a registration), or clears it (fn
    // null). When it returns, a callback it replaced or cleared is not
    // running and is not called again, unless the calling thread is running
    // it. 0 done; 1 the monitor could not start (nothing is registered).
    long setCallback(CallBackDeviceListChanged fn, void* obj);

private:
    using Clock = std::chrono::steady_clock;
    // What the monitor last saw listed: hidapi path -> the reader as listed.
    using Listing = std::map<std::string, HIDConnection::ListedReader>;

    struct Pending {
        std::string systemPath;
        Clock::time_point giveUp;
        Clock::time_point next;
        std::chrono::milliseconds step;
    };

    friend class NeverDestroyed<DeviceListMonitor>;
    DeviceListMonitor();
    // At unload or exit: clears the registration and stops the thread; does
    // nothing in a forked child.
    void teardown();
    // Makes the source, reads the listing and starts the thread (m_setLock
    // held). False when any of it fails.
    bool start() REQUIRES(m_setLock);
    // Wakes and joins the thread (m_setLock held).
    void stop() REQUIRES(m_setLock);
    void run(DeviceEventSource& source, int stopFd, Listing listed, uint64_t session);
    // Handles one batch of events and the pending looks that are due.
    void handle(const std::vector<DeviceEvent>& events, std::vector<Pending>& pending,
                Listing& listed, uint64_t session);
    // Names the readers of listed that have this serial number together
    // (HIDConnection::nameReaders: a serial number two of them share names
    // neither); the others keep their names. One still attached
    // whose name changed (its serial number came to be shared, or no longer
    // is) is reported removed under its old name and arrived under its new
    // one; the reader that just arrived (arrived) is only renamed. Judged
    // from what the monitor saw listed, not from one enumeration, which may
    // miss a reader while devices come and go.
    void renameListed(Listing& listed, const std::string& serial, const std::string& arrived,
                      uint64_t session);
    // Queues one change for the host callback; waits for room. False when
    // the monitor is stopping.
    bool report(uint64_t session, const std::string& name, long change);
    // Runs on the callback queue: calls the registration of now, if the
    // change belongs to it.
    void deliver(uint64_t session, const std::string& name, long change);
    bool stopping();

    Mutex m_setLock;  // serialises registrations; guards m_thread and m_stopFd
    std::thread m_thread GUARDED_BY(m_setLock);
    int m_stopFd GUARDED_BY(m_setLock) = -1;
    bool m_tornDown GUARDED_BY(m_setLock) = false;  // no thread starts after the teardown

    // The host callback's queue: made by the monitor thread at its first
    // change, then only read (by that thread, and by the teardown after
    // the join).
    std::shared_ptr<CallbackQueue> m_queue;

    Mutex m_lock;                       // guards the members below
    std::condition_variable m_changed;  // room for a change, a call ended, stop
    CallBackDeviceListChanged m_fn GUARDED_BY(m_lock) = nullptr;
    void* m_obj GUARDED_BY(m_lock) = nullptr;
    // Bumped by every registration.
    uint64_t m_registration GUARDED_BY(m_lock) = 0;
    // Bumped when changes not delivered must be dropped.
    uint64_t m_session GUARDED_BY(m_lock) = 0;
    // Registration of the call in progress; 0 none.
    uint64_t m_callRegistration GUARDED_BY(m_lock) = 0;
    std::thread::id m_callThread GUARDED_BY(m_lock);  // the thread of that call
    size_t m_waiting GUARDED_BY(m_lock) = 0;          // changes queued, not started
    bool m_stop GUARDED_BY(m_lock) = false;
    bool m_ended GUARDED_BY(m_lock) = false;  // the thread ended on its own (its source failed)
};

}  // namespace quorin
