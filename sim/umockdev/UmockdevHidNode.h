// One reader on umockdev's testbed: the USB device, its HID interface, the
// HID device and its /dev/hidrawN node, with a handler that plays the
// kernel's hidraw driver for whoever opens the node (the real hidapi).
//
// The node emulates what hidapi's hidraw backend sees of the kernel:
//  - sysfs: the usb_device (idVendor, idProduct, bcdDevice, manufacturer,
//    product, serial when the reader has one), the usb_interface
//    (bInterfaceNumber 00), the hid device (uevent HID_ID, HID_NAME, HID_UNIQ,
//    empty when there is no serial number; report_descriptor) and the hidraw
//    node linked to it;
//  - ioctls: HIDIOCGRDESCSIZE, HIDIOCGRDESC, HIDIOCGRAWINFO and
//    HIDIOCSFEATURE/HIDIOCGFEATURE of any length, answered by the reader
//    model (VirtualReader::setFeatureTransfer/getFeatureTransfer), with the
//    kernel's report-ID rule (ID 0: the device's bytes go after the ID byte
//    and the count includes it); a stall is EPIPE; unknown ioctls EINVAL;
//  - reads: one whole input report per read(), cut to the reader's buffer;
//    at most 64 reports wait (further ones are dropped, as the kernel's
//    per-file list does). poll() sees a report because one token byte per
//    queued report waits on the node's pseudo-terminal; the read handler
//    takes one back. A read with nothing queued waits for the next report;
//  - unplug: the pseudo-terminal is hung up (poll gives POLLHUP, so hidapi's
//    next read fails with "device disconnected"), ioctls and reads of
//    handles still open fail with ENODEV, udev "remove" events go out for
//    the four devices and they leave sysfs.
// Reports queue while a handle is open, and also while none is (umockdev
// tells of an open only some time after open() returned, so a report pushed
// right after an open must not be lost); once the last handle is seen
// closed, waiting reports are dropped. All handles of a node share one queue:
// the library opens a node once.
//
// Threads: the handlers run on umockdev's worker thread; push and unplug may
// be called from any thread. m_lock guards everything below it; the reader's
// hooks and completions are called without it where they may push reports.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "umockdev/UeventWatch.h"
#include "virtualhid/VirtualReader.h"

typedef struct _UMockdevTestbed UMockdevTestbed;
typedef struct _UMockdevIoctlBase UMockdevIoctlBase;
typedef struct _UMockdevIoctlClient UMockdevIoctlClient;

namespace quorin_sim {

class UmockdevHidNode {
public:
    // Where the node sits: hidraw minor `number` ("/dev/hidrawN"), USB port
    // `port` of bus 1 ("1-P"), HID device sequence number `hidSequence`.
    struct Place {
        int number = 0;
        int port = 1;
        int hidSequence = 1;
    };

    // complete false: the HID device is described without HID_UNIQ, which
    // hidapi needs to list the node, until completeDescription().
    // watch (owned by the bus, may be null) confirms the node's hidraw
    // "add" and "remove" events.
    UmockdevHidNode(UMockdevTestbed* testbed, std::shared_ptr<VirtualReader> reader, Place place,
                    bool complete = true, UeventWatch* watch = nullptr);
    // Disconnects the handler; the testbed's worker must have stopped.
    ~UmockdevHidNode();
    UmockdevHidNode(const UmockdevHidNode&) = delete;
    UmockdevHidNode& operator=(const UmockdevHidNode&) = delete;

    // Adds the devices to the testbed (udev "add" events), attaches the
    // handler and routes the reader's input reports here. False, and why in
    // *error, when umockdev refuses.
    bool plug(std::string* error);
    // The reader is pulled out (see above). Idempotent.
    void unplug();
    // Adds the HID_UNIQ property a node plugged incomplete lacks, without a
    // udev event.
    void completeDescription();

    const std::shared_ptr<VirtualReader>& reader() const { return m_reader; }
    std::string devnode() const;
    std::string hidrawSysfsPath() const;
    bool isPlugged() const;
    // Handles open on the node.
    int openHandles();
    // Input reports waiting to be read.
    int pendingReports() const;

    // The sysfs description of the four devices in umockdev's text format,
    // each device before its parent.
    std::string description() const;

private:
    static int onIoctl(UMockdevIoctlBase* handler, UMockdevIoctlClient* client, void* self);
    static int onRead(UMockdevIoctlBase* handler, UMockdevIoctlClient* client, void* self);
    static void onConnected(UMockdevIoctlBase* handler, UMockdevIoctlClient* client, void* self);

    void handleIoctl(UMockdevIoctlClient* client);
    void handleRead(UMockdevIoctlClient* client);
    void featureIoctl(UMockdevIoctlClient* client, bool set, size_t size);
    void push(const Report& report);
    // Hands a report to a read that waits (m_lock held).
    static void completeRead(UMockdevIoctlClient* client, const Report& report);
    // Drops queued reports and their tokens (m_lock held).
    void dropQueued();
    // Forgets closed handles; the last one closing drops what is queued
    // (m_lock held).
    void pruneClients();
    // Makes the pseudo-terminal's numbers lead back to the node, so hidapi's
    // lookups through fstat() of an open handle find the device.
    void mapPseudoTerminal();
    std::string usbDevicePath() const;
    std::string interfacePath() const;
    std::string hidPath() const;

    UMockdevTestbed* const m_testbed;
    UeventWatch* const m_watch;
    const std::shared_ptr<VirtualReader> m_reader;
    const Place m_place;
    const bool m_complete;
    UMockdevIoctlBase* m_handler = nullptr;

    mutable std::mutex m_lock;
    bool m_plugged = false;
    bool m_gone = false;
    int m_masterFd = -1;        // umockdev's end of the node's pseudo-terminal
    int m_tokenFd = -1;         // our own open of the node's end, to take tokens back
    std::string m_ptyName;      // "/dev/pts/N"
    std::string m_ptyLinks[2];  // sysfs and pty-map entries to remove at unplug
    // The handles umockdev told of (referenced); closed ones are pruned when
    // looked at, as umockdev 0.17 tells of no close.
    std::vector<UMockdevIoctlClient*> m_clients;
    std::deque<Report> m_queue;
    UMockdevIoctlClient* m_waitingRead = nullptr;  // a read with nothing queued (referenced)
};

}  // namespace quorin_sim
