// The connection to a reader on USB HID, through hidapi.
//
// Commands go to the reader as HID feature reports and synchronous responses
// come back as feature reports; unsolicited data (swipes, notifications)
// arrives as input reports, which the connection's receiving thread polls and
// hands to the data callback. Readers are recognised by vendor and product ID
// (productList).
//
// hidapi threading contract (this class is the library's only hidapi user):
//  - hid_init, hid_enumerate, hid_free_enumeration, hid_open_path and
//    hid_close run under HidGlobalLock; the factory and enumeration hold it
//    for their whole run (their lookup buffers are process-wide).
//  - Every other call on a handle runs under that connection's accessLock,
//    one transfer at a time; no callback and no sleep runs under it.
//  - hid_read runs only on the receiving thread, and hid_close only after
//    that thread has been joined.
//
// Threads: one receiving thread per connection with input reading on (none
// when the path gives a report size), owned by the connection. Stop protocol:
// Stop: close() sets m_stop and referenceFlag and fulfils closingPromise (ends the 5 ms wait).
// Join: close() joins the thread; only then does it call hid_close and free the buffers.
// Self: on the thread itself (a callback) close() only marks closed; the destructor joins.
//
// An unplugged reader is reported once: the first failed read calls the
// connection-changed callback with change code 1 and ends the thread. The
// handle stays open (commands then fail with 17) until the owner closes.
#pragma once

#include <array>
#include <atomic>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/MutexLock.h"
#include "common/ProductTable.h"
#include "transport/RecordedLink.h"
#include "transport/iConnection.h"

struct hid_device_;
struct hid_device_info;

namespace quorin {

// One known reader model: the vendor's USB vendor ID and a product ID.
struct product_item {
    unsigned short vendorId;
    unsigned short productId;
};

class HIDConnection : public iConnection {
public:
    static constexpr int DEFAULT_FEATURE_REPORT_LENGTH = 61;  // report ID byte included
    static constexpr int INPUT_REPORT_LENGTH = 2048;
    // Largest report size accepted from a path (",size").
    static constexpr int MAX_FEATURE_REPORT_LENGTH = 4096;
    static constexpr int WRITE_FEATURE_REPORT = 1;  // the one write kind of send()
    static constexpr long CLOSED_MARKER = 0xCCCCCCCCL;
    // The products of the product table that enumeration lists
    // (common/ProductTable.h), in ascending product ID order.
    static constexpr int PRODUCT_COUNT = usbListedProductCount();
    static const std::array<product_item, PRODUCT_COUNT> productList;

    HIDConnection();
    ~HIDConnection() override;

    // "HID://" + a path that does not begin with a letter or digit (and an
    // optional ",size") opens that hidapi path directly; "HID://" + text that
    // begins with a letter or digit (at most 31 characters, letter case
    // ignored) opens the known reader whose serial number, else whose hidapi
    // path, equals the text, or else the only one whose serial number or path
    // begins with it. Null when nothing matches, when several readers share
    // the start, or when the device cannot be opened.
    static iConnection* open(const char* pathScheme);
    // The device a path names, as open() would find it: "HID://" + its
    // hidapi path (without a ",size"), whatever name the path gave it (serial
    // number in any letter case, a unique start of one, or the hidapi path).
    // "" when the path names no attached reader. Opens nothing.
    static std::string deviceOf(const char* pathScheme);
    // Calls fnFoundDevice for each known reader attached (each hidapi path
    // once) with "HID://" + its serial number, or + its hidapi path when it
    // reports none. Returns 1 when at least one known reader was seen.
    static int enumDevices(iConnectionEnumDevice fnFoundDevice);

    // One attached reader as the device list names it.
    struct ListedReader {
        std::string name;        // the device path: "HID://" + serial number or system path
        std::string systemPath;  // hidapi's path ("/dev/hidraw3", "1-2.3:1.0")
        unsigned int productId;
        std::string serial;  // as the reader reports it ("" for none)
    };
    // The known readers attached now, as enumDevices sees and names them
    // (same filter, each hidapi path once, same order), without its
    // diagnostic lines.
    static std::vector<ListedReader> listReaders();
    // Names every reader of a listing: "HID://" + its serial number, or +
    // its hidapi path when the serial number cannot name it or another
    // reader of the listing has it too (every listed path names one reader).
    static void nameReaders(std::vector<ListedReader>& readers);
    // True for a vendor and product ID of productList: the readers the
    // enumeration lists.
    static bool isKnownProduct(unsigned short vendorId, unsigned short productId);

    void close() override;
    // Type 1 only: the bytes become one feature report, zero-padded to the
    // report length. 0 sent, 5 closed, 6 longer than the report, 17 failed,
    // -1 other types.
    int send(char* pData, int dataLen, int type) override;
    // Reads the feature report numbered pData[0] and copies it, ID byte
    // first, into pData: the bytes the device sent (the report length at
    // most), but at most *dataLen bytes. *dataLen becomes the count copied.
    // 0, 5 closed, 6 no buffer, 17 failed.
    int receive(unsigned char* pData, int* dataLen) override;
    int getDeviceInfoEx(void* param) override;
    // The receiving thread's report that reading failed (unplug).
    virtual void onHidReadingFailure(int failure);

    // Waits 50 ms, then writes the feature report; 0, 5, 6 or 17.
    int setFeatureReport(const unsigned char* rpt, int rptLen);
    // Reads the feature report, at most six attempts; 0, 5 or 17. The report
    // is left in the connection's feature report buffer. receive() reads its
    // reports itself; a caller wanting a report by ID alone would call this.
    int getFeatureReport(int featureId);
    bool IsDeviceConnected();

    int featureReportLength() const { return iFeatureReportBufferLength; }
    bool readsInputReports() const { return iInputReportBufferLength > 0; }

private:
    // Calls fn(entry, serial number) for each known reader hidapi lists, each
    // path once, under HidGlobalLock; fn returning true ends the walk.
    static void forEachKnownReader(
        const std::function<bool(const hid_device_info&, const std::string&)>& fn);
    bool _open(const char* path);
    void hidReadThread();
    bool onReceivingThread() const;
    void signalStop();
    // Closes the handle and frees the buffers; the thread must be gone or
    // be the caller.
    void releaseDevice();
    int readFeature(int featureId, unsigned char* out, int capacity, int* outLen);
    static bool lookupDevice(const char* pathScheme, void* extraInfo);
    // What open() opens for pathScheme: the hidapi path (with a ",size" when
    // the path or the model gives one) and the connection's scheme text.
    // False when the path names no attached reader.
    static bool resolve(const char* pathScheme, std::string* openPath, std::string* scheme);

    std::promise<bool> closingPromise;       // fulfilled once, by signalStop
    std::future<bool> closingFuture;         // waited on by the receiving thread only
    std::promise<bool> readingStartPromise;  // fulfilled by the thread when it runs
    std::atomic<bool> m_stopSignalled{false};
    std::atomic<bool> m_stop{false};
    std::atomic<long> referenceFlag{0};  // 0 open; CLOSED_MARKER once closed

    // Held around each single transfer on the handle; guards hHidDevice and
    // pFeatureReportBuffer.
    Mutex accessLock;
    hid_device_* hHidDevice GUARDED_BY(accessLock) = nullptr;
    std::vector<unsigned char> pFeatureReportBuffer
        GUARDED_BY(accessLock);          // iFeatureReportBufferLength + 1 bytes
    int iFeatureReportBufferLength = 0;  // set by _open, then read-only
    // Receiving thread only, while it runs; iInputReportBufferLength + 1 bytes.
    // A report may be card data: the buffer is wiped once it is delivered.
    CardBytes pInputReportBuffer;
    int iInputReportBufferLength = 0;  // set by _open, then read-only

    // Set by _open before the thread starts while recording, then read-only.
    std::shared_ptr<RecordedLink> m_recording;
    Mutex m_closeLock;  // serialises the join and release of close()
    std::thread m_readThread;
    std::thread::id m_readThreadId;  // written by the thread before _open returns
};

}  // namespace quorin
