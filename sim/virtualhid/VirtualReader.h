// One virtual USB HID reader, as the hidapi stand-in (libquorin-virtualhid.so.0)
// presents it to the library under test.
//
// A VirtualReader has a USB identity (vendor ID, product ID, optional serial
// number, hidapi path) and a device side that subclasses may replace: what it
// answers to GET_REPORT and what it does with SET_REPORT. Tests script it from
// their own thread while the library calls hidapi from its threads, so every
// public function is thread-safe.
//
// Locks: m_lock guards all state below it and m_changed signals every change
// of it; m_hookLock serialises the behaviour hooks of one reader. The hooks
// run with m_hookLock held and m_lock free, so a hook may call any scripting
// or observation function of its own reader. Order: m_hookLock before m_lock.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace quorin_sim {

using Report = std::vector<uint8_t>;

// The hidapi backend whose behaviour the stand-in reproduces.
enum class HidBackend {
    HIDRAW,  // paths "/dev/hidrawN", whole reports per read, serial "" when none
    LIBUSB   // paths "1-2.N:1.0", reads cut into 64-byte packets, serial null when none
};

class VirtualReader {
public:
    // serial: std::nullopt for a device without a serial-number string.
    VirtualReader(uint16_t vendorId, uint16_t productId, std::optional<std::string> serial);
    virtual ~VirtualReader();
    VirtualReader(const VirtualReader&) = delete;
    VirtualReader& operator=(const VirtualReader&) = delete;

    // ---- identity (fixed at construction, or set before attaching)
    // Number given by VirtualHid::attach (1, 2, ...; never reused in the
    // process); 0 until then.
    int id() const { return m_id.load(); }
    uint16_t vendorId() const { return m_vendorId; }
    uint16_t productId() const { return m_productId; }
    const std::optional<std::string>& serial() const { return m_serial; }
    // The hidapi path; "" until VirtualHid::attach assigns one (unless set).
    std::string path() const;
    void setPath(const std::string& path);
    // false: the process may not open the device. hid_open_path fails; the
    // libusb backend also lists its serial number as null (it reads strings
    // through an open handle), the hidraw backend still lists it.
    void setAccessible(bool accessible);
    // The hidraw backend of hidapi 0.13 lists a node once per Usage Page/Usage
    // pair of its report descriptor (usagePairs), so a reader is listed that
    // many times on hidraw (always once on libusb); setListingCount(n) makes
    // it n times whatever the descriptor.
    void setListingCount(int n);
    void setStrings(const std::wstring& manufacturer, const std::wstring& product);
    std::wstring manufacturer() const;
    std::wstring product() const;
    // The HID report descriptor: vendor-defined page 0xFF00, usage 1, one
    // application collection with unnumbered reports (input 887 bytes,
    // feature 60 bytes). Models with numbered reports override it.
    virtual Report reportDescriptor() const;
    // The Usage Page/Usage pairs hidapi 0.13's hidraw backend finds in a
    // report descriptor: one for each Collection item that a Usage item
    // precedes since the last main item (or, without any collection, the
    // last pair seen).
    static std::vector<std::pair<uint16_t, uint16_t>> usagePairs(const Report& descriptor);

    // ---- device behaviour: override in models of particular readers.
    // Called on the thread that carries the transfer (the host's hidapi
    // thread on the virtual bus, umockdev's worker thread on an emulated
    // node), one hook at a time per reader, never for an unplugged device or
    // while transfers are set to fail.
    //
    // Bytes the device sends for GET_REPORT(feature, reportId), exactly as on
    // the wire: for report ID 0 without an ID byte, for a numbered report
    // starting with the ID. Empty: the device stalls and the transfer fails.
    // Default: the next scripted response, else the default response.
    virtual Report onGetFeature(uint8_t reportId);
    // A SET_REPORT(feature) arrived; report is the buffer the host passed to
    // hid_send_feature_report, ID byte first. It is recorded in featureWrites()
    // when the hook returns, so a test that saw the write also sees its
    // effects. Default: nothing.
    virtual void onSetFeature(const Report& report);
    // GET_REPORT(input) through hid_get_input_report. Default: stall.
    virtual Report onGetInput(uint8_t reportId);
    // An output report written by hid_write (recorded when the hook returns).
    // Default: nothing.
    virtual void onOutputReport(const Report& report);
    // A handle was opened on the reader, or closed (the virtual bus only;
    // called without the reader's locks). Default: nothing.
    virtual void onOpened() {}
    virtual void onClosed() {}

    // ---- the bus side (any thread): how a bus that carries the reader, the
    // virtual one or an emulated kernel node, hands transfers to the device.
    // Both run the behaviour hooks one at a time.
    //
    // GET_REPORT(feature, reportId): the bytes the device sends, as on the
    // wire; empty when the device stalls or transfers are set to fail.
    // Counted in featureReadAttempts.
    Report getFeatureTransfer(uint8_t reportId);
    // SET_REPORT(feature) with the buffer the host passed (ID byte first):
    // runs onSetFeature and records the write. False when transfers are set
    // to fail (nothing reaches the device then).
    bool setFeatureTransfer(const Report& report);
    // Puts the device's bytes for GET_REPORT(feature, data[0]) into a host
    // buffer of `length` bytes the way hidapi and the kernel do: for report
    // ID 0 they go to data + 1 and the count includes the ID byte, for a
    // numbered report (bytes starting with the ID) to data. Returns the
    // count, or -1 for a stall (empty bytes) or an unusable buffer.
    static int placeFeatureReport(const Report& bytes, unsigned char* data, size_t length);
    // Another bus that carries the reader receives every input report the
    // reader sends from now on (besides the virtual bus's open handles);
    // null detaches it. Called without the reader's locks held.
    using InputSink = std::function<void(const Report&)>;
    void setInputSink(InputSink sink);

    // ---- scripting (any thread)
    // Answered once each, in order, by the default onGetFeature.
    void queueFeatureResponse(const Report& frame);
    // Answered when the queue is empty; initially empty, i.e. a stall.
    void setDefaultFeatureResponse(const Report& frame);
    // The device sends an input report. Every open handle receives it; without
    // an open handle it is lost, as on a real bus. The hidraw stand-in queues
    // whole reports (at most 64 per handle, further ones are dropped); the
    // libusb stand-in queues 64-byte packets and drops the oldest beyond 30.
    void pushInputReport(const Report& report);
    // The device leaves the bus: it is no longer listed or openable, and every
    // handle open on it is dead (reads give -1, on libusb once the packets
    // already queued are read; feature transfers give -1). A reader on the
    // virtual bus tells the bus's watchers (VirtualHid::watch).
    void unplug();
    // Back on the bus: listed and openable again; old handles stay dead.
    void replug();
    bool isUnplugged() const;
    // While set, every feature transfer (get and send) fails with -1.
    void setFailFeatureTransfers(bool fail);

    // ---- observation (any thread)
    // Every feature report that reached the device, in order, as written.
    std::vector<Report> featureWrites() const;
    // True when at least n feature reports were written within timeout.
    bool waitForFeatureWrites(size_t n, std::chrono::milliseconds timeout);
    // hid_get_feature_report calls made on this reader, failed ones included.
    int featureReadAttempts() const;
    std::vector<Report> outputReports() const;
    // Handles currently open on this reader.
    int openHandles() const;
    // Input reports (libusb: packets) queued on open handles and not yet read.
    int pendingInputReports() const;
    // Forgets what was recorded (a model's own records too), so a long run
    // does not grow.
    virtual void clearRecords();

protected:
    // Pops the next scripted response, or returns the default one.
    Report nextFeatureResponse();

private:
    // Queues an input report on the open handles (m_lock held).
    void queueOnEndpoints(const Report& report);

private:
    friend class VirtualHidDriver;
    friend class VirtualHid;

    // One per open handle; all fields guarded by the owner's m_lock.
    struct Endpoint {
        HidBackend backend;
        bool dead = false;
        std::deque<Report> input;
    };

    const uint16_t m_vendorId;
    const uint16_t m_productId;
    const std::optional<std::string> m_serial;
    std::atomic<int> m_id{0};

    mutable std::mutex m_lock;
    std::condition_variable m_changed;  // signalled on every change of the state below
    std::string m_path;
    bool m_accessible = true;
    int m_listingCount = 0;  // 0: one per usage pair of the descriptor
    std::wstring m_manufacturer = L"Virtual";
    std::wstring m_product = L"Virtual USB Reader";
    bool m_unplugged = false;
    bool m_failFeature = false;
    std::deque<Report> m_featureResponses;
    Report m_defaultFeatureResponse;
    std::vector<Report> m_featureWrites;
    std::vector<Report> m_outputReports;
    int m_featureReadAttempts = 0;
    std::vector<std::shared_ptr<Endpoint>> m_endpoints;
    InputSink m_inputSink;

    std::mutex m_hookLock;  // serialises the behaviour hooks
};

}  // namespace quorin_sim
