// hidapi's C API over the virtual bus (VirtualHid). Every function declared by
// <hidapi/hidapi.h> is defined here with the behaviour of hidapi 0.13.1 on
// Linux for the backend selected in VirtualHid:
//  - data[0] is the report ID; hid_send_feature_report returns the caller's
//    length; hid_get_feature_report with ID 0 puts the device's bytes at
//    data + 1 and returns their count + 1, with another ID the device's bytes
//    (which repeat the ID) go to data and their count is returned;
//  - a read of an empty queue returns 0 (non-blocking) or waits; after unplug
//    a read gives -1 at once on hidraw, and on libusb once the queued packets
//    are read;
//  - hid_error texts as the backend gives them (libusb: always the constant
//    "hid_error is not implemented yet"; hidraw: "Success" or the message of
//    the last failure); hid_close(NULL) does nothing.
// Calls on different handles may run on different threads at the same time;
// the caller serialises calls on one handle, except that one thread may read
// while another makes the other calls (as with hidapi).
#include <hidapi/hidapi.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <memory>
#include <string>

#include "virtualhid/HidText.h"
#include "virtualhid/VirtualHid.h"
#include "virtualhid/VirtualHidConfig.h"

#define VHID_EXPORT __attribute__((visibility("default")))

namespace quorin_sim {

namespace {

const wchar_t* const TEXT_SUCCESS = L"Success";
const wchar_t* const TEXT_LIBUSB = L"hid_error is not implemented yet";
const wchar_t* const TEXT_READ_GONE =
    L"hid_read_timeout: unexpected poll error (device disconnected)";
const wchar_t* const TEXT_GFEATURE_GONE = L"ioctl (GFEATURE): No such device";
const wchar_t* const TEXT_GFEATURE_PIPE = L"ioctl (GFEATURE): Broken pipe";
const wchar_t* const TEXT_SFEATURE_GONE = L"ioctl (SFEATURE): No such device";
const wchar_t* const TEXT_SFEATURE_PIPE = L"ioctl (SFEATURE): Broken pipe";
const wchar_t* const TEXT_GINPUT_GONE = L"ioctl (GINPUT): No such device";
const wchar_t* const TEXT_GINPUT_PIPE = L"ioctl (GINPUT): Broken pipe";
const wchar_t* const TEXT_WRITE_GONE = L"No such device";
const wchar_t* const TEXT_OPEN_MISSING = L"Failed to open a device: No such file or directory";
const wchar_t* const TEXT_OPEN_DENIED = L"Failed to open a device: Permission denied";
const wchar_t* const TEXT_INDEXED = L"hid_get_indexed_string: not supported by hidraw";
const wchar_t* const TEXT_BAD_ARGUMENT = L"Invalid argument";

// Last failure outside any handle (enumerate, open); always a literal.
std::atomic<const wchar_t*> g_globalError{nullptr};

wchar_t* dupWide(const std::wstring& text) {
    auto* out = static_cast<wchar_t*>(std::calloc(text.size() + 1, sizeof(wchar_t)));
    if (out != nullptr) {
        std::wmemcpy(out, text.c_str(), text.size());
    }
    return out;
}

// A reader string as the backend's hidapi hands it out (HidText).
std::wstring handedOut(const std::string& utf8, HidBackend backend) {
    return backend == HidBackend::HIDRAW ? HidText::hidraw(utf8) : HidText::libusb(utf8);
}

std::wstring handedOut(const std::wstring& text, HidBackend backend) {
    return backend == HidBackend::HIDRAW ? HidText::hidraw(HidText::utf8(text)) : text;
}

int copyString(const std::wstring& text, wchar_t* string, size_t maxlen) {
    if (string == nullptr || maxlen == 0) {
        return -1;
    }
    size_t n = std::min(text.size(), maxlen - 1);
    std::wmemcpy(string, text.c_str(), n);
    string[n] = L'\0';
    return 0;
}

}  // namespace

// The hidapi side of the virtual readers: the only code that touches their
// private state besides VirtualReader itself.
class VirtualHidDriver {
public:
    using EndpointPtr = std::shared_ptr<VirtualReader::Endpoint>;

    struct Handle {
        std::shared_ptr<VirtualReader> reader;
        EndpointPtr endpoint;
        HidBackend backend = HidBackend::HIDRAW;
        std::atomic<bool> nonblocking{false};
        std::atomic<const wchar_t*> error{nullptr};
        hid_device_info* info = nullptr;  // built on demand, freed by hid_close
    };

    static void setError(Handle* dev, const wchar_t* text) { dev->error.store(text); }

    static const wchar_t* errorText(Handle* dev) {
        HidBackend backend = dev != nullptr ? dev->backend : VirtualHid::instance().backend();
        if (backend == HidBackend::LIBUSB) {
            return TEXT_LIBUSB;
        }
        const wchar_t* text = dev != nullptr ? dev->error.load() : g_globalError.load();
        return text != nullptr ? text : TEXT_SUCCESS;
    }

    static hid_device_info* describe(VirtualReader& reader, HidBackend backend, int copy) {
        const auto pairs = VirtualReader::usagePairs(reader.reportDescriptor());
        std::lock_guard<std::mutex> guard(reader.m_lock);
        auto* info = static_cast<hid_device_info*>(std::calloc(1, sizeof(hid_device_info)));
        if (info == nullptr) {
            return nullptr;
        }
        bool stringsReadable = backend == HidBackend::HIDRAW || reader.m_accessible;
        info->path = strdup(reader.m_path.c_str());
        info->vendor_id = reader.m_vendorId;
        info->product_id = reader.m_productId;
        if (reader.m_serial && stringsReadable) {
            info->serial_number = dupWide(handedOut(*reader.m_serial, backend));
        } else if (backend == HidBackend::HIDRAW) {
            info->serial_number = dupWide(L"");
        }
        info->release_number = 0x0100;
        if (stringsReadable) {
            info->manufacturer_string = dupWide(handedOut(reader.m_manufacturer, backend));
            info->product_string = dupWide(handedOut(reader.m_product, backend));
        }
        if (backend == HidBackend::HIDRAW && static_cast<size_t>(copy) < pairs.size()) {
            info->usage_page = pairs[static_cast<size_t>(copy)].first;
            info->usage = pairs[static_cast<size_t>(copy)].second;
        } else if (backend == HidBackend::HIDRAW) {
            info->usage_page = 0xFF00;  // vendor-defined
            info->usage = static_cast<unsigned short>(copy + 1);
        }
        info->interface_number = 0;
        info->bus_type = HID_API_BUS_USB;
        return info;
    }

    static hid_device_info* enumerate(unsigned short vendorId, unsigned short productId) {
        VirtualHid& bus = VirtualHid::instance();
        bus.m_enumerations.fetch_add(1);
        HidBackend backend = bus.backend();
        hid_device_info* head = nullptr;
        hid_device_info** tail = &head;
        for (auto& reader : bus.readers()) {
            const size_t pairs = VirtualReader::usagePairs(reader->reportDescriptor()).size();
            int copies;
            {
                std::lock_guard<std::mutex> guard(reader->m_lock);
                if (reader->m_unplugged || (vendorId != 0 && reader->m_vendorId != vendorId) ||
                    (productId != 0 && reader->m_productId != productId)) {
                    continue;
                }
                int listed = reader->m_listingCount > 0
                                 ? reader->m_listingCount
                                 : static_cast<int>(std::max<size_t>(1, pairs));
                copies = backend == HidBackend::HIDRAW ? listed : 1;
            }
            for (int copy = 0; copy < copies; ++copy) {
                hid_device_info* info = describe(*reader, backend, copy);
                if (info != nullptr) {
                    *tail = info;
                    tail = &info->next;
                }
            }
        }
        g_globalError.store(nullptr);
        return head;
    }

    // Fills handle when path names an openable reader.
    static bool open(const char* path, Handle& handle) {
        if (path == nullptr) {
            g_globalError.store(TEXT_BAD_ARGUMENT);
            return false;
        }
        VirtualHid& bus = VirtualHid::instance();
        HidBackend backend = bus.backend();
        for (auto& reader : bus.readers()) {
            {
                std::lock_guard<std::mutex> guard(reader->m_lock);
                if (reader->m_unplugged || reader->m_path != path) {
                    continue;
                }
                if (!reader->m_accessible) {
                    g_globalError.store(TEXT_OPEN_DENIED);
                    return false;
                }
                auto endpoint = std::make_shared<VirtualReader::Endpoint>();
                endpoint->backend = backend;
                reader->m_endpoints.push_back(endpoint);
                reader->m_changed.notify_all();
                handle.reader = reader;
                handle.endpoint = endpoint;
                handle.backend = backend;
                bus.m_openHandles.fetch_add(1);
                g_globalError.store(nullptr);
            }
            reader->onOpened();
            return true;
        }
        g_globalError.store(TEXT_OPEN_MISSING);
        return false;
    }

    // Detaches the handle from its reader; the caller frees it.
    static void close(Handle* dev) {
        {
            VirtualReader& reader = *dev->reader;
            std::lock_guard<std::mutex> guard(reader.m_lock);
            auto& eps = reader.m_endpoints;
            eps.erase(std::remove(eps.begin(), eps.end(), dev->endpoint), eps.end());
            reader.m_changed.notify_all();
        }
        hid_free_enumeration(dev->info);
        dev->info = nullptr;
        VirtualHid::instance().m_openHandles.fetch_sub(1);
        dev->reader->onClosed();
    }

    static int read(Handle* dev, unsigned char* data, size_t length, int milliseconds) {
        if (data == nullptr) {
            setError(dev, TEXT_BAD_ARGUMENT);
            return -1;
        }
        VirtualReader& reader = *dev->reader;
        VirtualReader::Endpoint& ep = *dev->endpoint;
        std::unique_lock<std::mutex> lock(reader.m_lock);
        setError(dev, TEXT_SUCCESS);
        auto ready = [&] { return ep.dead || !ep.input.empty(); };
        if (milliseconds < 0) {
            reader.m_changed.wait(lock, ready);
        } else if (milliseconds > 0) {
            reader.m_changed.wait_for(lock, std::chrono::milliseconds(milliseconds), ready);
        }
        // hidraw's poll reports the hang-up before anything still buffered;
        // libusb hands out what its read thread queued before the device went.
        if (ep.dead && (ep.backend == HidBackend::HIDRAW || ep.input.empty())) {
            setError(dev, TEXT_READ_GONE);
            return -1;
        }
        if (ep.input.empty()) {
            return 0;
        }
        Report report = std::move(ep.input.front());
        ep.input.pop_front();
        size_t n = std::min(length, report.size());  // the rest of a long report is lost
        std::memcpy(data, report.data(), n);
        return static_cast<int>(n);
    }

    // False (with the error text set) when the handle's device is gone.
    static bool handleAlive(Handle* dev, const wchar_t* goneText) {
        std::lock_guard<std::mutex> guard(dev->reader->m_lock);
        if (dev->endpoint->dead) {
            setError(dev, goneText);
            return false;
        }
        return true;
    }

    static int getReport(Handle* dev, unsigned char* data, size_t length, bool feature) {
        if (data == nullptr || length == 0) {
            setError(dev, TEXT_BAD_ARGUMENT);
            return -1;
        }
        VirtualReader& reader = *dev->reader;
        setError(dev, TEXT_SUCCESS);
        uint8_t reportId = data[0];
        Report bytes;
        if (feature) {
            if (!handleAlive(dev, TEXT_GFEATURE_GONE)) {
                std::lock_guard<std::mutex> guard(reader.m_lock);
                ++reader.m_featureReadAttempts;  // failed calls count too
                return -1;
            }
            bytes = reader.getFeatureTransfer(reportId);
        } else {
            std::lock_guard<std::mutex> hooks(reader.m_hookLock);
            if (!handleAlive(dev, TEXT_GINPUT_GONE)) {
                return -1;
            }
            bool failing;
            {
                std::lock_guard<std::mutex> guard(reader.m_lock);
                failing = reader.m_failFeature;
            }
            try {
                bytes = failing ? Report() : reader.onGetInput(reportId);
            } catch (...) {
                bytes.clear();
            }
        }
        int n = VirtualReader::placeFeatureReport(bytes, data, length);
        if (n < 0) {
            setError(dev, feature ? TEXT_GFEATURE_PIPE : TEXT_GINPUT_PIPE);
        }
        return n;
    }

    static int sendReport(Handle* dev, const unsigned char* data, size_t length, bool feature) {
        if (data == nullptr || length == 0) {
            setError(dev, TEXT_BAD_ARGUMENT);
            return -1;
        }
        VirtualReader& reader = *dev->reader;
        setError(dev, TEXT_SUCCESS);
        Report report(data, data + length);
        if (feature) {
            if (!handleAlive(dev, TEXT_SFEATURE_GONE)) {
                return -1;
            }
            if (!reader.setFeatureTransfer(report)) {
                setError(dev, TEXT_SFEATURE_PIPE);
                return -1;
            }
            return static_cast<int>(length);
        }
        {
            std::lock_guard<std::mutex> hooks(reader.m_hookLock);
            if (!handleAlive(dev, TEXT_WRITE_GONE)) {
                return -1;
            }
            try {
                reader.onOutputReport(report);
            } catch (...) {
            }
        }
        std::lock_guard<std::mutex> guard(reader.m_lock);
        reader.m_outputReports.push_back(std::move(report));
        reader.m_changed.notify_all();
        return static_cast<int>(length);
    }

    static hid_device_info* deviceInfo(Handle* dev) {
        if (dev->info == nullptr) {
            dev->info = describe(*dev->reader, dev->backend, 0);
        }
        return dev->info;
    }

    enum class StringKind { MANUFACTURER, PRODUCT, SERIAL };

    static int getString(Handle* dev, StringKind kind, wchar_t* string, size_t maxlen) {
        VirtualReader& reader = *dev->reader;
        std::wstring text;
        {
            std::lock_guard<std::mutex> guard(reader.m_lock);
            switch (kind) {
                case StringKind::MANUFACTURER:
                    text = handedOut(reader.m_manufacturer, dev->backend);
                    break;
                case StringKind::PRODUCT:
                    text = handedOut(reader.m_product, dev->backend);
                    break;
                case StringKind::SERIAL:
                    if (reader.m_serial) {
                        text = handedOut(*reader.m_serial, dev->backend);
                    } else if (dev->backend == HidBackend::LIBUSB) {
                        return -1;  // no string descriptor
                    }
                    break;
            }
        }
        return copyString(text, string, maxlen);
    }
};

}  // namespace quorin_sim

using quorin_sim::VirtualHidDriver;

struct hid_device_ : VirtualHidDriver::Handle {};

extern "C" {

VHID_EXPORT int HID_API_EXPORT HID_API_CALL hid_init(void) {
    quorin_sim::VirtualHidConfig::applyEnvironmentOnce();
    return 0;
}

VHID_EXPORT int HID_API_EXPORT HID_API_CALL hid_exit(void) {
    return 0;
}

VHID_EXPORT struct hid_device_info HID_API_EXPORT* HID_API_CALL
hid_enumerate(unsigned short vendor_id, unsigned short product_id) {
    quorin_sim::VirtualHidConfig::applyEnvironmentOnce();
    return VirtualHidDriver::enumerate(vendor_id, product_id);
}

VHID_EXPORT void HID_API_EXPORT HID_API_CALL hid_free_enumeration(struct hid_device_info* devs) {
    while (devs != nullptr) {
        hid_device_info* next = devs->next;
        std::free(devs->path);
        std::free(devs->serial_number);
        std::free(devs->manufacturer_string);
        std::free(devs->product_string);
        std::free(devs);
        devs = next;
    }
}

VHID_EXPORT HID_API_EXPORT hid_device* HID_API_CALL hid_open_path(const char* path) {
    quorin_sim::VirtualHidConfig::applyEnvironmentOnce();
    auto* dev = new hid_device_;
    if (!VirtualHidDriver::open(path, *dev)) {
        delete dev;
        return nullptr;
    }
    return dev;
}

VHID_EXPORT HID_API_EXPORT hid_device* HID_API_CALL hid_open(unsigned short vendor_id,
                                                             unsigned short product_id,
                                                             const wchar_t* serial_number) {
    quorin_sim::VirtualHidConfig::applyEnvironmentOnce();
    hid_device_info* devs = VirtualHidDriver::enumerate(vendor_id, product_id);
    std::string path;
    for (hid_device_info* cur = devs; cur != nullptr; cur = cur->next) {
        if (serial_number == nullptr || (cur->serial_number != nullptr &&
                                         std::wcscmp(cur->serial_number, serial_number) == 0)) {
            path = cur->path;
            break;
        }
    }
    hid_free_enumeration(devs);
    return path.empty() ? nullptr : hid_open_path(path.c_str());
}

VHID_EXPORT void HID_API_EXPORT HID_API_CALL hid_close(hid_device* dev) {
    if (dev == nullptr) {
        return;
    }
    VirtualHidDriver::close(dev);
    delete dev;
}

VHID_EXPORT int HID_API_EXPORT HID_API_CALL hid_write(hid_device* dev, const unsigned char* data,
                                                      size_t length) {
    return dev == nullptr ? -1 : VirtualHidDriver::sendReport(dev, data, length, false);
}

VHID_EXPORT int HID_API_EXPORT HID_API_CALL hid_read_timeout(hid_device* dev, unsigned char* data,
                                                             size_t length, int milliseconds) {
    return dev == nullptr ? -1 : VirtualHidDriver::read(dev, data, length, milliseconds);
}

VHID_EXPORT int HID_API_EXPORT HID_API_CALL hid_read(hid_device* dev, unsigned char* data,
                                                     size_t length) {
    if (dev == nullptr) {
        return -1;
    }
    return VirtualHidDriver::read(dev, data, length, dev->nonblocking.load() ? 0 : -1);
}

VHID_EXPORT int HID_API_EXPORT HID_API_CALL hid_set_nonblocking(hid_device* dev, int nonblock) {
    if (dev == nullptr) {
        return -1;
    }
    dev->nonblocking.store(nonblock != 0);
    return 0;
}

VHID_EXPORT int HID_API_EXPORT HID_API_CALL hid_send_feature_report(hid_device* dev,
                                                                    const unsigned char* data,
                                                                    size_t length) {
    return dev == nullptr ? -1 : VirtualHidDriver::sendReport(dev, data, length, true);
}

VHID_EXPORT int HID_API_EXPORT HID_API_CALL hid_get_feature_report(hid_device* dev,
                                                                   unsigned char* data,
                                                                   size_t length) {
    return dev == nullptr ? -1 : VirtualHidDriver::getReport(dev, data, length, true);
}

VHID_EXPORT int HID_API_EXPORT HID_API_CALL hid_get_input_report(hid_device* dev,
                                                                 unsigned char* data,
                                                                 size_t length) {
    return dev == nullptr ? -1 : VirtualHidDriver::getReport(dev, data, length, false);
}

VHID_EXPORT int HID_API_EXPORT_CALL hid_get_manufacturer_string(hid_device* dev, wchar_t* string,
                                                                size_t maxlen) {
    return dev == nullptr ? -1
                          : VirtualHidDriver::getString(
                                dev, VirtualHidDriver::StringKind::MANUFACTURER, string, maxlen);
}

VHID_EXPORT int HID_API_EXPORT_CALL hid_get_product_string(hid_device* dev, wchar_t* string,
                                                           size_t maxlen) {
    return dev == nullptr ? -1
                          : VirtualHidDriver::getString(dev, VirtualHidDriver::StringKind::PRODUCT,
                                                        string, maxlen);
}

VHID_EXPORT int HID_API_EXPORT_CALL hid_get_serial_number_string(hid_device* dev, wchar_t* string,
                                                                 size_t maxlen) {
    return dev == nullptr ? -1
                          : VirtualHidDriver::getString(dev, VirtualHidDriver::StringKind::SERIAL,
                                                        string, maxlen);
}

VHID_EXPORT struct hid_device_info HID_API_EXPORT* HID_API_CALL
hid_get_device_info(hid_device* dev) {
    return dev == nullptr ? nullptr : VirtualHidDriver::deviceInfo(dev);
}

VHID_EXPORT int HID_API_EXPORT_CALL hid_get_indexed_string(hid_device* dev, int /*string_index*/,
                                                           wchar_t* /*string*/, size_t /*maxlen*/) {
    if (dev != nullptr) {
        VirtualHidDriver::setError(dev, quorin_sim::TEXT_INDEXED);
    }
    return -1;
}

VHID_EXPORT HID_API_EXPORT const wchar_t* HID_API_CALL hid_error(hid_device* dev) {
    return VirtualHidDriver::errorText(dev);
}

VHID_EXPORT HID_API_EXPORT const struct hid_api_version* HID_API_CALL hid_version(void) {
    static const hid_api_version version = {0, 13, 1};
    return &version;
}

VHID_EXPORT HID_API_EXPORT const char* HID_API_CALL hid_version_str(void) {
    return "0.13.1";
}

}  // extern "C"
