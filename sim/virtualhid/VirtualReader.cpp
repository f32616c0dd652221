#include "virtualhid/VirtualReader.h"

#include <algorithm>
#include <cstring>

#include "virtualhid/VirtualHid.h"

namespace quorin_sim {

namespace {

// Input queue limits of the two backends: the kernel's hidraw list keeps 64
// reports per open file and drops what does not fit; hidapi's libusb read
// thread drops the oldest packet once more than 30 are waiting.
constexpr size_t HIDRAW_QUEUE_LIMIT = 64;
constexpr size_t LIBUSB_QUEUE_LIMIT = 30;
// wMaxPacketSize of a full-speed interrupt IN endpoint.
constexpr size_t LIBUSB_PACKET_SIZE = 64;

}  // namespace

VirtualReader::VirtualReader(uint16_t vendorId, uint16_t productId,
                             std::optional<std::string> serial)
    : m_vendorId(vendorId), m_productId(productId), m_serial(std::move(serial)) {}

VirtualReader::~VirtualReader() = default;

std::string VirtualReader::path() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_path;
}

void VirtualReader::setPath(const std::string& path) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_path = path;
}

void VirtualReader::setAccessible(bool accessible) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_accessible = accessible;
}

void VirtualReader::setListingCount(int n) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_listingCount = std::max(1, n);
}

void VirtualReader::setStrings(const std::wstring& manufacturer, const std::wstring& product) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_manufacturer = manufacturer;
    m_product = product;
}

std::wstring VirtualReader::manufacturer() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_manufacturer;
}

std::wstring VirtualReader::product() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_product;
}

Report VirtualReader::reportDescriptor() const {
    return {
        0x06, 0x00, 0xFF,        // usage page (vendor-defined 0xFF00)
        0x09, 0x01,              // usage 1
        0xA1, 0x01,              // collection (application)
        0x15, 0x00, 0x26, 0xFF,  // logical minimum 0, maximum 255
        0x00, 0x75, 0x08,        // report size 8
        0x96, 0x77, 0x03,        // report count 887
        0x09, 0x20, 0x81, 0x02,  // usage, input (data, variable, absolute)
        0x95, 0x3C,              // report count 60
        0x09, 0x21, 0xB1, 0x02,  // usage, feature (data, variable, absolute)
        0xC0,                    // end collection
    };
}

std::vector<std::pair<uint16_t, uint16_t>> VirtualReader::usagePairs(const Report& descriptor) {
    std::vector<std::pair<uint16_t, uint16_t>> pairs;
    uint16_t page = 0;
    uint16_t usage = 0;
    bool usageFound = false;
    size_t pos = 0;
    while (pos < descriptor.size()) {
        const uint8_t key = descriptor[pos];
        if (key == 0xFE) {  // long item: size byte, tag byte, data
            if (pos + 1 >= descriptor.size()) {
                break;
            }
            pos += 3 + descriptor[pos + 1];
            continue;
        }
        static const size_t SIZES[] = {0, 1, 2, 4};
        const size_t size = SIZES[key & 0x03];
        uint32_t value = 0;
        for (size_t i = 0; i < size && pos + 1 + i < descriptor.size(); ++i) {
            value |= static_cast<uint32_t>(descriptor[pos + 1 + i]) << (8 * i);
        }
        switch (key & 0xFC) {
            case 0x04:  // Usage Page (global)
                page = static_cast<uint16_t>(value);
                break;
            case 0x08:  // Usage (local)
                usage = static_cast<uint16_t>(value);
                usageFound = true;
                break;
            case 0xA0:  // Collection
                if (usageFound) {
                    pairs.emplace_back(page, usage);
                }
                usageFound = false;
                break;
            case 0x80:  // Input
            case 0x90:  // Output
            case 0xB0:  // Feature
            case 0xC0:  // End Collection
                usageFound = false;
                break;
            default:
                break;
        }
        pos += 1 + size;
    }
    if (pairs.empty() && usageFound) {
        pairs.emplace_back(page, usage);
    }
    return pairs;
}

Report VirtualReader::getFeatureTransfer(uint8_t reportId) {
    std::lock_guard<std::mutex> hooks(m_hookLock);
    {
        std::lock_guard<std::mutex> guard(m_lock);
        ++m_featureReadAttempts;
        if (m_failFeature) {
            return {};
        }
    }
    try {
        return onGetFeature(reportId);
    } catch (...) {
        return {};
    }
}

bool VirtualReader::setFeatureTransfer(const Report& report) {
    std::lock_guard<std::mutex> hooks(m_hookLock);
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (m_failFeature) {
            return false;
        }
    }
    try {
        onSetFeature(report);
    } catch (...) {
    }
    std::lock_guard<std::mutex> guard(m_lock);
    m_featureWrites.push_back(report);
    m_changed.notify_all();
    return true;
}

int VirtualReader::placeFeatureReport(const Report& bytes, unsigned char* data, size_t length) {
    if (bytes.empty() || data == nullptr || length == 0) {
        return -1;
    }
    if (data[0] == 0) {
        size_t n = std::min(bytes.size(), length - 1);
        std::memcpy(data + 1, bytes.data(), n);
        return static_cast<int>(n + 1);
    }
    size_t n = std::min(bytes.size(), length);
    std::memcpy(data, bytes.data(), n);
    return static_cast<int>(n);
}

void VirtualReader::setInputSink(InputSink sink) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_inputSink = std::move(sink);
}

Report VirtualReader::onGetFeature(uint8_t /*reportId*/) {
    return nextFeatureResponse();
}

void VirtualReader::onSetFeature(const Report& /*report*/) {}

Report VirtualReader::onGetInput(uint8_t /*reportId*/) {
    return {};
}

void VirtualReader::onOutputReport(const Report& /*report*/) {}

Report VirtualReader::nextFeatureResponse() {
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_featureResponses.empty()) {
        return m_defaultFeatureResponse;
    }
    Report frame = std::move(m_featureResponses.front());
    m_featureResponses.pop_front();
    return frame;
}

void VirtualReader::queueFeatureResponse(const Report& frame) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_featureResponses.push_back(frame);
}

void VirtualReader::setDefaultFeatureResponse(const Report& frame) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_defaultFeatureResponse = frame;
}

void VirtualReader::pushInputReport(const Report& report) {
    InputSink sink;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (m_unplugged || report.empty()) {
            return;
        }
        queueOnEndpoints(report);
        sink = m_inputSink;
    }
    if (sink) {
        sink(report);
    }
}

void VirtualReader::queueOnEndpoints(const Report& report) {
    for (auto& ep : m_endpoints) {
        if (ep->dead) {
            continue;
        }
        if (ep->backend == HidBackend::HIDRAW) {
            if (ep->input.size() < HIDRAW_QUEUE_LIMIT) {
                ep->input.push_back(report);
            }
            continue;
        }
        for (size_t at = 0; at < report.size(); at += LIBUSB_PACKET_SIZE) {
            size_t end = std::min(report.size(), at + LIBUSB_PACKET_SIZE);
            ep->input.emplace_back(report.begin() + static_cast<std::ptrdiff_t>(at),
                                   report.begin() + static_cast<std::ptrdiff_t>(end));
            while (ep->input.size() > LIBUSB_QUEUE_LIMIT) {
                ep->input.pop_front();
            }
        }
    }
    m_changed.notify_all();
}

void VirtualReader::unplug() {
    bool changed;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        changed = !m_unplugged;
        m_unplugged = true;
        for (auto& ep : m_endpoints) {
            ep->dead = true;
        }
        m_changed.notify_all();
    }
    if (changed) {
        VirtualHid::instance().listingChanged(*this, false);
    }
}

void VirtualReader::replug() {
    bool changed;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        changed = m_unplugged;
        m_unplugged = false;
        m_changed.notify_all();
    }
    if (changed) {
        VirtualHid::instance().listingChanged(*this, true);
    }
}

bool VirtualReader::isUnplugged() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_unplugged;
}

void VirtualReader::setFailFeatureTransfers(bool fail) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_failFeature = fail;
}

std::vector<Report> VirtualReader::featureWrites() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_featureWrites;
}

bool VirtualReader::waitForFeatureWrites(size_t n, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(m_lock);
    return m_changed.wait_for(lock, timeout, [&] { return m_featureWrites.size() >= n; });
}

int VirtualReader::featureReadAttempts() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_featureReadAttempts;
}

std::vector<Report> VirtualReader::outputReports() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_outputReports;
}

int VirtualReader::openHandles() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return static_cast<int>(m_endpoints.size());
}

int VirtualReader::pendingInputReports() const {
    std::lock_guard<std::mutex> guard(m_lock);
    size_t pending = 0;
    for (const auto& ep : m_endpoints) {
        pending += ep->input.size();
    }
    return static_cast<int>(pending);
}

void VirtualReader::clearRecords() {
    std::lock_guard<std::mutex> guard(m_lock);
    m_featureWrites.clear();
    m_outputReports.clear();
    m_featureReadAttempts = 0;
}

}  // namespace quorin_sim
