#include "transport/HIDConnection.h"

#include <hidapi/hidapi.h>
#include <strings.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "common/Diagnostics.h"
#include "common/Guard.h"
#include "common/LibraryState.h"
#include "common/MutexLock.h"
#include "common/NeverDestroyed.h"
#include "common/ProductTable.h"
#include "common/ResultCode.h"
#include "common/stdafx.h"
#include "transport/HidGlobalLock.h"
#include "transport/Recorder.h"

#ifndef QUORIN_USB_VENDOR_ID
#error "QUORIN_USB_VENDOR_ID (the readers' USB vendor ID) must be defined by the build"
#endif

namespace quorin {

namespace {

const char HID_PREFIX[] = "HID://";
constexpr size_t HID_PREFIX_LENGTH = sizeof(HID_PREFIX) - 1;
constexpr unsigned short VENDOR_ID = QUORIN_USB_VENDOR_ID;
constexpr int IDLE_WAIT_MS = 5;
constexpr int WRITE_PAUSE_MS = 50;
constexpr int FEATURE_READ_ATTEMPTS = 6;
constexpr int EXTRA_INFO_SIZE = 32;
// getDeviceInfoEx has nothing to report over HID.
constexpr int DEVICE_INFO_UNAVAILABLE = 255;

// One known reader seen by the factory's lookup.
struct LookupCandidate {
    std::string serial;
    std::string path;
    unsigned int productId;
};

// The factory's lookup state; used only under HidGlobalLock.
char g_lookupSerial[32];
char g_lookupPath[256];
// Filled by the lookup's enumeration and emptied again by open(). Never
// destroyed: a host thread may be opening a reader while another one exits
// the process.
std::vector<LookupCandidate>& lookupCandidates() {
    static NeverDestroyed<std::vector<LookupCandidate>> candidates;
    return candidates.get();
}

// Empties the lookup's list and gives its storage back, so an unloaded
// library leaves nothing allocated.
void forgetCandidates() {
    std::vector<LookupCandidate>().swap(lookupCandidates());
}

// Set when the connection is destroyed from its own receiving thread (from a
// callback): the thread must then leave without touching the object.
thread_local bool t_destroyedOnReceivingThread = false;

struct EnumerationDeleter {
    void operator()(hid_device_info* list) const { hid_free_enumeration(list); }
};

// The listed products of the product table under the vendor ID, in
// ascending product ID order.
constexpr std::array<product_item, HIDConnection::PRODUCT_COUNT> usbProductList() {
    std::array<product_item, HIDConnection::PRODUCT_COUNT> list{};
    long previous = -1;
    for (product_item& item : list) {
        long next = -1;
        for (const ProductFacts& row : PRODUCTS) {
            if (row.listedOverUsb && row.productId > previous &&
                (next < 0 || row.productId < next)) {
                next = row.productId;
            }
        }
        item = {VENDOR_ID, static_cast<unsigned short>(next)};
        previous = next;
    }
    return list;
}

// The ",size" a reader opened by the start of its hidapi path gets, or "".
std::string reportSizeByPath(unsigned int productId) {
    const ProductFacts* product = findProduct(static_cast<long>(productId));
    if (product == nullptr || product->reportSizeByPath == 0) {
        return std::string();
    }
    return "," + std::to_string(product->reportSizeByPath);
}

bool isKnownReader(unsigned short vendorId, unsigned short productId) {
    for (const product_item& row : HIDConnection::productList) {
        if (row.vendorId == vendorId && row.productId == productId) {
            return true;
        }
    }
    return false;
}

bool startsWith(const std::string& text, const char* start) {
    return strncasecmp(text.c_str(), start, std::strlen(start)) == 0;
}

// The reader a lookup text names. An exact serial number wins, then an exact
// hidapi path (a match in the same letter case before one that ignores it);
// only when nothing matches exactly, the one reader whose serial number or
// path begins with the text. A start that several readers share names none:
// with "SN10" and "SN1" attached, "SN1" is SN1 and "SN" neither. *byPath
// tells whether the reader was found by its path.
const LookupCandidate* chooseCandidate(const char* wanted, bool* byPath) {
    using Field = std::string LookupCandidate::*;
    for (bool sameCase : {true, false}) {
        for (Field field : {&LookupCandidate::serial, &LookupCandidate::path}) {
            const LookupCandidate* match = nullptr;
            int matches = 0;
            for (const LookupCandidate& c : lookupCandidates()) {
                const std::string& text = c.*field;
                if (sameCase ? text == wanted : strcasecmp(text.c_str(), wanted) == 0) {
                    match = match != nullptr ? match : &c;
                    ++matches;
                }
            }
            // A serial number two readers share names neither of them.
            if (matches == 1) {
                *byPath = field == &LookupCandidate::path;
                return match;
            }
        }
    }
    const LookupCandidate* found = nullptr;
    for (const LookupCandidate& c : lookupCandidates()) {
        if (startsWith(c.serial, wanted) || startsWith(c.path, wanted)) {
            if (found != nullptr) {
                return nullptr;
            }
            found = &c;
        }
    }
    if (found != nullptr) {
        *byPath = !startsWith(found->serial, wanted);
    }
    return found;
}

// A serial number that can name the reader in the device list: printable
// ASCII without the list's "," separator (a reader's own text must neither
// break the list nor reach a terminal as a control sequence, C1 controls
// included). Other readers are named by their system path, as one without
// a serial number is.
bool usableAsName(const std::string& serial) {
    if (serial.empty()) {
        return false;
    }
    for (unsigned char c : serial) {
        if (c == ',' || c < 0x20 || c > 0x7e) {
            return false;
        }
    }
    return true;
}

// Narrow text of a wide hidapi string; null and unconvertible text give "".
std::string narrow(const wchar_t* text) {
    if (text == nullptr) {
        return std::string();
    }
    try {
        return ws2s(text);
    } catch (...) {
        return std::string();
    }
}

// The recording of a connection that opened the device at path: its
// description as hidapi lists it.
std::shared_ptr<RecordedLink> startRecording(const char* scheme, const std::string& path,
                                             int featureSize, int inputSize) {
    RecordedLink::UsbDevice d;
    d.scheme = scheme;
    d.path = path;
    d.featureSize = featureSize;
    d.inputSize = inputSize;
    HidGlobalLock global;
    std::unique_ptr<hid_device_info, EnumerationDeleter> list(hid_enumerate(0, 0));
    for (hid_device_info* dev = list.get(); dev != nullptr; dev = dev->next) {
        if (dev->path == nullptr || path != dev->path) {
            continue;
        }
        d.vendorId = dev->vendor_id;
        d.productId = dev->product_id;
        if (dev->serial_number != nullptr) {
            d.serial = narrow(dev->serial_number);
        }
        d.manufacturer = narrow(dev->manufacturer_string);
        d.product = narrow(dev->product_string);
        d.release = dev->release_number;
        d.interface = dev->interface_number;
        break;
    }
    return RecordedLink::forUsb(d);
}

}  // namespace

const std::array<product_item, HIDConnection::PRODUCT_COUNT> HIDConnection::productList =
    usbProductList();

HIDConnection::HIDConnection() : closingFuture(closingPromise.get_future()) {}

HIDConnection::~HIDConnection() {
    if (onReceivingThread()) {
        // Destroyed from its own callback, which the connection contract
        // forbids; a thread cannot join itself, so let it go and tell it to
        // leave without touching this object. It is not inside hid_read, so
        // the handle can be closed here.
        signalStop();
        t_destroyedOnReceivingThread = true;
        if (m_readThread.joinable()) {
            m_readThread.detach();
        }
        releaseDevice();
        return;
    }
    close();
}

void HIDConnection::nameReaders(std::vector<ListedReader>& readers) {
    std::map<std::string, size_t> holders;  // serial number -> readers that have it
    for (const ListedReader& reader : readers) {
        ++holders[reader.serial];
    }
    for (ListedReader& reader : readers) {
        const bool shared = holders[reader.serial] > 1;
        reader.name = HID_PREFIX +
                      (usableAsName(reader.serial) && !shared ? reader.serial : reader.systemPath);
    }
}

bool HIDConnection::isKnownProduct(unsigned short vendorId, unsigned short productId) {
    return isKnownReader(vendorId, productId);
}

void HIDConnection::forEachKnownReader(
    const std::function<bool(const hid_device_info&, const std::string&)>& fn) {
    HidGlobalLock global;
    std::unique_ptr<hid_device_info, EnumerationDeleter> list(hid_enumerate(0, 0));
    // hidraw lists a node once per usage pair of its report descriptor.
    std::set<std::string> seenPaths;
    for (hid_device_info* dev = list.get(); dev != nullptr; dev = dev->next) {
        if (dev->path == nullptr || !isKnownReader(dev->vendor_id, dev->product_id) ||
            !seenPaths.insert(dev->path).second) {
            continue;
        }
        if (fn(*dev, narrow(dev->serial_number))) {
            break;
        }
    }
}

int HIDConnection::enumDevices(iConnectionEnumDevice fnFoundDevice) {
    // Named together: a serial number shares its name with no other reader.
    const std::vector<ListedReader> readers = listReaders();
    for (const ListedReader& reader : readers) {
        DeviceExtraInfo info;
        info.size = EXTRA_INFO_SIZE;
        info.InfoId = reader.productId;
        info.SerialNumber = reader.serial.c_str();
        info.TypePrefix = HID_PREFIX;
        info.Path = reader.systemPath.c_str();

        diagnosticLine("Found VID=%d, PID=%d", VENDOR_ID, reader.productId);
        if (reader.name == HID_PREFIX + reader.systemPath) {
            diagnosticLine("Device Path=%s", reader.systemPath.c_str());
        } else {
            diagnosticLine("Serial Number=%s", reader.serial.c_str());
        }
        if (fnFoundDevice != nullptr && fnFoundDevice(reader.name.c_str(), &info)) {
            break;
        }
    }
    return readers.empty() ? 0 : 1;
}

std::vector<HIDConnection::ListedReader> HIDConnection::listReaders() {
    std::vector<ListedReader> readers;
    forEachKnownReader([&](const hid_device_info& dev, const std::string& serial) {
        readers.push_back({std::string(), dev.path, dev.product_id, serial});
        return false;
    });
    nameReaders(readers);
    return readers;
}

bool HIDConnection::lookupDevice(const char* /*pathScheme*/, void* extraInfo) {
    const auto* info = static_cast<const DeviceExtraInfo*>(extraInfo);
    if (info == nullptr || info->size != EXTRA_INFO_SIZE || info->Path == nullptr) {
        return false;
    }
    // Every reader is seen before one is chosen: an exact match later in the
    // list must win over a start earlier in it.
    lookupCandidates().push_back(
        {info->SerialNumber != nullptr ? info->SerialNumber : "", info->Path, info->InfoId});
    return false;
}

bool HIDConnection::resolve(const char* pathScheme, std::string* openPath, std::string* scheme) {
    if (pathScheme == nullptr || strncasecmp(pathScheme, HID_PREFIX, HID_PREFIX_LENGTH) != 0) {
        return false;
    }
    size_t length = std::strlen(pathScheme);
    if (length <= HID_PREFIX_LENGTH) {
        return false;
    }
    const char* rest = pathScheme + HID_PREFIX_LENGTH;

    HidGlobalLock global;
    if (!IS_ALPHA_NUEx(rest[0])) {
        // The whole path is the connection's scheme text; one that does not
        // fit could never be recognised by isMe.
        if (length >= sizeof(szScheme)) {
            return false;
        }
        *scheme = pathScheme;
        *openPath = rest;
        return true;
    }

    if (std::strlen(rest) >= sizeof(g_lookupSerial)) {
        return false;
    }
    std::memset(g_lookupSerial, 0, sizeof(g_lookupSerial));
    std::strncpy(g_lookupSerial, rest, sizeof(g_lookupSerial) - 1);
    std::memset(g_lookupPath, 0, sizeof(g_lookupPath));
    forgetCandidates();
    enumDevices(lookupDevice);
    bool byPath = false;
    const LookupCandidate* chosen = chooseCandidate(g_lookupSerial, &byPath);
    if (chosen == nullptr) {
        forgetCandidates();
        return false;
    }
    const std::string suffix = byPath ? reportSizeByPath(chosen->productId) : std::string();
    int written = std::snprintf(g_lookupPath, sizeof(g_lookupPath), "%s%s", chosen->path.c_str(),
                                suffix.c_str());
    forgetCandidates();
    if (written < 0 || static_cast<size_t>(written) >= sizeof(g_lookupPath)) {
        return false;  // a path this long cannot be opened through the lookup
    }
    if (!suffix.empty()) {
        diagnosticLine("New Device Path=%s", g_lookupPath);
    }
    *openPath = g_lookupPath;
    *scheme = openPath->substr(0, openPath->find(','));
    return true;
}

iConnection* HIDConnection::open(const char* pathScheme) {
    HidGlobalLock global;
    std::string openPath;
    std::string scheme;
    if (!resolve(pathScheme, &openPath, &scheme)) {
        return nullptr;
    }
    std::unique_ptr<HIDConnection> connection(new HIDConnection);
    // The scheme text is set before the receiving thread can read it.
    connection->setScheme(scheme.c_str());
    return connection->_open(openPath.c_str()) ? connection.release() : nullptr;
}

std::string HIDConnection::deviceOf(const char* pathScheme) {
    std::string openPath;
    std::string scheme;
    if (!resolve(pathScheme, &openPath, &scheme)) {
        return std::string();
    }
    return std::string(HID_PREFIX) + openPath.substr(0, openPath.find(','));
}

bool HIDConnection::_open(const char* path) {
    diagnosticLine("Path=%s", path);
    std::string text = path;
    size_t comma = text.find(',');
    std::string devicePath = text.substr(0, comma);
    std::string sizeText;
    if (comma != std::string::npos) {
        size_t next = text.find(',', comma + 1);
        sizeText = text.substr(comma + 1, next == std::string::npos ? next : next - comma - 1);
    }
    diagnosticLine("Device Path=%s", devicePath.c_str());

    hid_device* handle = hid_open_path(devicePath.c_str());
    if (handle == nullptr) {
        return false;
    }
    int featureLength = DEFAULT_FEATURE_REPORT_LENGTH;
    int inputLength = INPUT_REPORT_LENGTH;
    if (!sizeText.empty()) {
        int size = std::atoi(sizeText.c_str());
        diagnosticLine("Report Size=%d", size);
        if (size < 1 || size > MAX_FEATURE_REPORT_LENGTH) {
            hid_close(handle);
            return false;
        }
        featureLength = size;
        inputLength = 0;
    }
    {
        MutexLock guard(accessLock);
        hHidDevice = handle;
        iFeatureReportBufferLength = featureLength;
        pFeatureReportBuffer.assign(static_cast<size_t>(featureLength) + 1, 0);
        iInputReportBufferLength = inputLength;
        if (inputLength > 0) {
            pInputReportBuffer.assign(static_cast<size_t>(inputLength) + 1, 0);
            hid_set_nonblocking(handle, 1);
        }
    }
    if (Recorder::requested()) {
        m_recording = startRecording(szScheme, devicePath, featureLength, inputLength);
    }
    if (inputLength > 0) {
        std::future<bool> started = readingStartPromise.get_future();
        m_readThread = std::thread([this] { guardedVoid([this] { hidReadThread(); }); });
        started.wait();
    }
    return true;
}

void HIDConnection::hidReadThread() {
    m_readThreadId = std::this_thread::get_id();
    readingStartPromise.set_value(true);
    std::array<unsigned char, INPUT_REPORT_LENGTH> buffer{};
    while (!m_stop.load()) {
        int n;
        {
            MutexLock guard(accessLock);
            if (hHidDevice == nullptr) {
                return;
            }
            n = hid_read(hHidDevice, buffer.data(), buffer.size());
            // Under the lock the transfers take: the recording holds them in
            // the order they passed the device.
            if (n > 0 && m_recording) {
                m_recording->record(RecordedEvent::INPUT, buffer.data(),
                                    static_cast<size_t>(std::min(n, iInputReportBufferLength)));
            }
        }
        if (n < 0) {
            // A read that fails because the owner is closing is no unplug.
            if (!m_stop.load()) {
                if (m_recording) {
                    m_recording->record(RecordedEvent::READ_FAILED, nullptr, 0, n);
                }
                onHidReadingFailure(n);
            }
            return;
        }
        if (n == 0) {
            if (closingFuture.wait_for(std::chrono::milliseconds(IDLE_WAIT_MS)) ==
                std::future_status::ready) {
                return;
            }
            continue;
        }
        if (m_stop.load() || referenceFlag.load() != 0) {
            CardDataPool::wipe(buffer.data(), static_cast<size_t>(n));
            return;
        }
        // A report longer than the reader's input report is cut to it, and
        // wiped whole from the read buffer.
        const int length = std::min(n, iInputReportBufferLength);
        std::memcpy(pInputReportBuffer.data(), buffer.data(), static_cast<size_t>(length));
        // While the callback runs the store holds exactly this report.
        addBinary(pInputReportBuffer.data(), static_cast<unsigned int>(length));
        guardedVoid([&] { deliverData(pInputReportBuffer.data(), length); });
        CardDataPool::wipe(buffer.data(), static_cast<size_t>(n));
        CardDataPool::wipeStack();
        if (t_destroyedOnReceivingThread) {
            return;
        }
        CardDataPool::wipe(pInputReportBuffer.data(), static_cast<size_t>(length));
        RawDataStore::clear();
    }
}

void HIDConnection::onHidReadingFailure(int failure) {
    debugLog("%s: reading failed (%d), reader lost", getScheme(), failure);
    deliverChanged(CHANGE_READ_FAILED);
}

bool HIDConnection::onReceivingThread() const {
    return m_readThreadId != std::thread::id() && m_readThreadId == std::this_thread::get_id();
}

void HIDConnection::signalStop() {
    referenceFlag.store(CLOSED_MARKER);
    m_stop.store(true);
    if (!m_stopSignalled.exchange(true)) {
        closingPromise.set_value(true);
    }
}

void HIDConnection::close() {
    if (LibraryState::forked()) {
        return;  // a forked child's copy: the thread and the device are the parent's
    }
    signalStop();
    if (onReceivingThread()) {
        return;  // joined and released later, from another thread
    }
    MutexLock closing(m_closeLock);
    if (m_readThread.joinable()) {
        m_readThread.join();
    }
    releaseDevice();
}

void HIDConnection::releaseDevice() {
    hid_device* handle;
    {
        MutexLock guard(accessLock);
        handle = hHidDevice;
        hHidDevice = nullptr;
        std::vector<unsigned char>().swap(pFeatureReportBuffer);
    }
    if (handle != nullptr) {
        HidGlobalLock global;
        hid_close(handle);
    }
    if (m_recording) {
        m_recording->close();
    }
    if (!onReceivingThread()) {
        CardBytes().swap(pInputReportBuffer);
    }
}

int HIDConnection::send(char* pData, int dataLen, int type) {
    if (referenceFlag.load() != 0) {
        return RC_NOT_OPEN;
    }
    if (type != WRITE_FEATURE_REPORT) {
        return RC_UNSUPPORTED_WRITE;
    }
    return setFeatureReport(reinterpret_cast<const unsigned char*>(pData), dataLen);
}

int HIDConnection::setFeatureReport(const unsigned char* rpt, int rptLen) {
    bool empty = rpt == nullptr || rptLen < 1;
    // Refused rather than cut: a truncated command would be a different one.
    if (!empty && rptLen > iFeatureReportBufferLength) {
        return RC_BAD_ARGUMENT;
    }
    SLEEP(WRITE_PAUSE_MS);  // every command write is preceded by this pause
    int result;
    std::string error;
    {
        MutexLock guard(accessLock);
        if (hHidDevice == nullptr) {
            return RC_NOT_OPEN;
        }
        unsigned char* buffer = pFeatureReportBuffer.data();
        std::memset(buffer, 0, static_cast<size_t>(iFeatureReportBufferLength));
        if (empty) {
            buffer[0] = 1;
        } else {
            std::memcpy(buffer, rpt, static_cast<size_t>(rptLen));
        }
        result = hid_send_feature_report(hHidDevice, buffer,
                                         static_cast<size_t>(iFeatureReportBufferLength));
        if (m_recording) {
            m_recording->record(RecordedEvent::FEATURE_OUT, buffer,
                                static_cast<size_t>(iFeatureReportBufferLength), result);
        }
        if (result <= 0) {
            error = narrow(hid_error(hHidDevice));
        }
    }
    if (result > 0) {
        return RC_OK;
    }
    diagnosticLine("*** hid_send_feature_report, result=false, rptLen=%d", rptLen);
    diagnosticLine("Error=%s", error.c_str());
    return RC_TRANSFER_FAILED;
}

int HIDConnection::getFeatureReport(int featureId) {
    return readFeature(featureId, nullptr, 0, nullptr);
}

int HIDConnection::readFeature(int featureId, unsigned char* out, int capacity, int* outLen) {
    if (referenceFlag.load() != 0) {
        return RC_NOT_OPEN;
    }
    for (int attempt = 0; attempt < FEATURE_READ_ATTEMPTS; ++attempt) {
        MutexLock guard(accessLock);
        if (hHidDevice == nullptr) {
            return RC_NOT_OPEN;
        }
        unsigned char* buffer = pFeatureReportBuffer.data();
        std::memset(buffer, 0, static_cast<size_t>(iFeatureReportBufferLength));
        buffer[0] = static_cast<unsigned char>(featureId & 0xFF);
        const int got = hid_get_feature_report(hHidDevice, buffer,
                                               static_cast<size_t>(iFeatureReportBufferLength));
        if (m_recording) {
            m_recording->record(RecordedEvent::FEATURE_IN, buffer,
                                got > 0 ? static_cast<size_t>(got) : 0, featureId & 0xFF);
        }
        if (got > 0) {
            if (out != nullptr) {
                // Only the bytes the device sent (hidapi counts the report ID
                // byte): an answer cut short must not read as one padded
                // with zeros.
                int count = std::min({capacity, iFeatureReportBufferLength, got});
                std::memcpy(out, buffer, static_cast<size_t>(count));
                *outLen = count;
            }
            return RC_OK;
        }
    }
    return RC_TRANSFER_FAILED;
}

int HIDConnection::receive(unsigned char* pData, int* dataLen) {
    if (referenceFlag.load() != 0) {
        return RC_NOT_OPEN;
    }
    if (pData == nullptr || dataLen == nullptr || *dataLen < 1) {
        return RC_BAD_ARGUMENT;
    }
    return readFeature(pData[0], pData, *dataLen, dataLen);
}

bool HIDConnection::IsDeviceConnected() {
    if (referenceFlag.load() != 0) {
        return false;
    }
    MutexLock guard(accessLock);
    return hHidDevice != nullptr;
}

int HIDConnection::getDeviceInfoEx(void* /*param*/) {
    return DEVICE_INFO_UNAVAILABLE;
}

}  // namespace quorin
