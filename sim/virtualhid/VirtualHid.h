// The virtual USB bus behind libquorin-virtualhid.so.0, a drop-in for
// hidapi's C API (the hid_* functions of <hidapi/hidapi.h>) that reproduces
// hidapi 0.13.1 on Linux, hidraw or libusb backend, without hardware.
//
// Test executables link the library, so its hid_* symbols win over the
// system hidapi; any other program gets the same with
// LD_PRELOAD=libquorin-virtualhid.so.0 (see VirtualHidControl.h for the C
// control API and the configuration from the environment).
//
// Usage: call VirtualHid::instance().reset() in SetUp, choose the backend,
// then plug readers:
//     auto reader = VirtualHid::instance().plug<VirtualReader>(vid, pid, "SN1");
//     reader->queueFeatureResponse({0x00, 0x00});
// Models of particular readers derive from VirtualReader (PlainCommandReader,
// ExtendedReader).
//
// Lock: m_lock guards the reader list, the backend, the path counter and the
// watchers. It may be held while taking a reader's lock, never the other way
// round; watchers are called with it held.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "virtualhid/VirtualReader.h"

namespace quorin_sim {

class VirtualHid {
public:
    static VirtualHid& instance();

    // Unplugs and detaches every reader, selects the hidraw backend and
    // restarts path numbering. Handles still open stay valid (and dead).
    void reset();
    // Select before plugging readers: it decides the paths they get.
    void setBackend(HidBackend backend);
    HidBackend backend() const;

    // Puts the reader on the bus, after those already there. A reader without
    // a path gets the next one of the backend's form.
    void attach(const std::shared_ptr<VirtualReader>& reader);
    // Unplugs the reader and takes it off the list.
    void detach(const std::shared_ptr<VirtualReader>& reader);
    std::vector<std::shared_ptr<VirtualReader>> readers() const;
    // The reader on the bus with this id (VirtualReader::id), or null.
    std::shared_ptr<VirtualReader> find(int id) const;

    template <class T = VirtualReader, class... Args>
    std::shared_ptr<T> plug(Args&&... args) {
        auto reader = std::make_shared<T>(std::forward<Args>(args)...);
        attach(reader);
        return reader;
    }

    // Watchers learn of every change of the readers listed, in the order of
    // the changes: a reader attached or plugged back in (listed true), or
    // detached, unplugged or reset away (listed false), with its path and
    // USB identity. A watcher is called on the thread that made the change,
    // with the bus's lock held: it must return quickly and must not call
    // into the bus. watch() returns the watcher's id (1, 2, ...); once
    // unwatch(id) returns, that watcher is not running and is not called
    // again.
    using Watcher = std::function<void(const std::string& path, uint16_t vendorId,
                                       uint16_t productId, bool listed)>;
    int watch(Watcher watcher);
    // False for an unknown id.
    bool unwatch(int id);
    // A reader was unplugged or plugged back in (VirtualReader): tells the
    // watchers when it is on this bus. Called without the reader's lock.
    void listingChanged(VirtualReader& reader, bool listed);

    // Handles open in the whole process (hid_open_path minus hid_close),
    // including handles on readers that were detached or reset away.
    int openHandles() const { return m_openHandles.load(); }
    // Enumerations started since the process began.
    int enumerations() const { return m_enumerations.load(); }

private:
    friend class VirtualHidDriver;
    VirtualHid() = default;
    // Tells every watcher (m_lock held).
    void notify(const VirtualReader& reader, bool listed);

    mutable std::mutex m_lock;
    std::vector<std::shared_ptr<VirtualReader>> m_readers;  // guarded by m_lock
    HidBackend m_backend = HidBackend::HIDRAW;              // guarded by m_lock
    int m_nextIndex = 0;                                    // guarded by m_lock
    int m_nextId = 1;                                       // guarded by m_lock; never reset
    std::vector<std::pair<int, Watcher>> m_watchers;        // guarded by m_lock
    int m_nextWatcher = 1;                                  // guarded by m_lock
    std::atomic<int> m_openHandles{0};
    std::atomic<int> m_enumerations{0};
};

}  // namespace quorin_sim
