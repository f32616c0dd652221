// Readers on emulated kernel devices: umockdev's testbed with one USB HID
// device and /dev/hidrawN node per reader (UmockdevHidNode), for programs
// that link the real hidapi (hidraw backend). The reader models are those of
// the virtual bus (VirtualReader, PlainCommandReader, ExtendedReader), so
// one scripted reader can stand behind either.
//
// The process must run under umockdev's preload library (umockdev-wrapper,
// or LD_PRELOAD=libumockdev-preload.so.0) and create the bus before any
// other thread starts (the testbed sets UMOCKDEV_DIR in the environment).
// From then on, udev, sysfs and /dev lookups of the whole process see the
// testbed: plugged readers, and udev monitors get "add" and "remove" events.
//
//     UmockdevBus bus;
//     auto reader = bus.plug<PlainCommandReader>(vid, pid, std::string("SN1"));
//     // hid_enumerate lists reader->path(), "/dev/hidraw0"
//     bus.unplug(reader);
//
// Node numbers, USB ports and HID sequence numbers are handed out in order
// and never reused by one bus. The bus ignores SIGHUP for the process:
// hidapi opens nodes without O_NOCTTY, so in a process without a controlling
// terminal a node's pseudo-terminal becomes it, and an unplug hangs it up.
//
// Threads: every function may be called from any thread. m_lock guards the
// node list and the counters; it is taken before a node's lock.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "umockdev/UmockdevHidNode.h"
#include "virtualhid/VirtualReader.h"

namespace quorin_sim {

class UmockdevBus {
public:
    // Why emulated nodes cannot serve this process, "" when they can: it
    // must run under umockdev's preload library and have pseudo-terminals.
    static std::string unavailableReason();

    UmockdevBus();
    // Unplugs every reader and removes the testbed.
    ~UmockdevBus();
    UmockdevBus(const UmockdevBus&) = delete;
    UmockdevBus& operator=(const UmockdevBus&) = delete;

    // How complete the description of a plugged reader is.
    enum class Listing {
        COMPLETE,
        // The HID device lacks its HID_UNIQ property, so hidapi does not list
        // the node (as while the kernel is still describing a device) until
        // UmockdevHidNode::completeDescription().
        INCOMPLETE,
    };
    // Puts the reader on the bus under the next node, which becomes its path.
    // False, and why in *error, when umockdev refuses.
    bool attach(const std::shared_ptr<VirtualReader>& reader, std::string* error = nullptr,
                Listing listing = Listing::COMPLETE);
    // A new reader of model T, plugged; null when umockdev refuses.
    template <class T = VirtualReader, class... Args>
    std::shared_ptr<T> plug(Args&&... args) {
        auto reader = std::make_shared<T>(std::forward<Args>(args)...);
        return attach(reader) ? reader : nullptr;
    }
    // Pulls the reader out, as the kernel sees an unplug (UmockdevHidNode).
    void unplug(const std::shared_ptr<VirtualReader>& reader);
    // Pulls every reader out.
    void reset();

    // The readers plugged, in plugging order.
    std::vector<std::shared_ptr<VirtualReader>> readers() const;
    // The reader's node, or null when it was never plugged here.
    std::shared_ptr<UmockdevHidNode> node(const std::shared_ptr<VirtualReader>& reader) const;
    // Handles open on every node the bus ever had (unplugged ones included).
    int openHandles() const;
    // The testbed's root directory (its sys/ and dev/).
    std::string rootDirectory() const;

private:
    UMockdevTestbed* m_testbed = nullptr;
    std::unique_ptr<UeventWatch> m_watch;  // made after the testbed

    mutable std::mutex m_lock;
    // Every node ever plugged: an unplugged node answers the handles still
    // open on it until the bus goes.
    std::vector<std::shared_ptr<UmockdevHidNode>> m_nodes;
    int m_nextNumber = 0;
};

}  // namespace quorin_sim
