#include "umockdev/UmockdevHidNode.h"

#include <fcntl.h>
#include <linux/hidraw.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <umockdev.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "virtualhid/HidText.h"

namespace quorin_sim {

namespace {

// The kernel's hidraw list keeps this many reports per open file.
constexpr size_t QUEUE_LIMIT = 64;
constexpr char TOKEN = 'r';
const char USB_CONTROLLER[] = "/devices/pci0000:00/0000:00:14.0/usb1";

std::string hex4(unsigned int value, bool upper) {
    char text[8];
    std::snprintf(text, sizeof(text), upper ? "%04X" : "%04x", value & 0xFFFF);
    return text;
}

// Sysfs text of a reader string as the kernel writes it (UTF-8): wide text
// encoded, byte strings (serial numbers) as they are, control characters
// (which would end the record line) as '?'.
std::string sysfsText(const std::string& bytes) {
    std::string out;
    for (unsigned char c : bytes) {
        out.push_back(c < 0x20 || c == 0x7F ? '?' : static_cast<char>(c));
    }
    return out;
}

std::string sysfsText(const std::wstring& text) {
    return sysfsText(HidText::utf8(text));
}

// Resolves the memory an ioctl argument points to; null when umockdev cannot.
UMockdevIoctlData* resolve(UMockdevIoctlClient* client, size_t size) {
    GError* error = nullptr;
    UMockdevIoctlData* data =
        umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(client), 0, size, &error);
    if (error != nullptr) {
        g_error_free(error);
    }
    return data;
}

}  // namespace

UmockdevHidNode::UmockdevHidNode(UMockdevTestbed* testbed, std::shared_ptr<VirtualReader> reader,
                                 Place place, bool complete, UeventWatch* watch)
    : m_testbed(testbed),
      m_watch(watch),
      m_reader(std::move(reader)),
      m_place(place),
      m_complete(complete) {}

UmockdevHidNode::~UmockdevHidNode() {
    unplug();
    if (m_handler != nullptr) {
        g_signal_handlers_disconnect_by_data(m_handler, this);
        g_object_unref(m_handler);
    }
    if (m_waitingRead != nullptr) {
        g_object_unref(m_waitingRead);
    }
    for (UMockdevIoctlClient* client : m_clients) {
        g_object_unref(client);
    }
}

std::string UmockdevHidNode::devnode() const {
    return "/dev/hidraw" + std::to_string(m_place.number);
}

std::string UmockdevHidNode::usbDevicePath() const {
    return std::string(USB_CONTROLLER) + "/1-" + std::to_string(m_place.port);
}

std::string UmockdevHidNode::interfacePath() const {
    return usbDevicePath() + "/1-" + std::to_string(m_place.port) + ":1.0";
}

std::string UmockdevHidNode::hidPath() const {
    return interfacePath() + "/0003:" + hex4(m_reader->vendorId(), true) + ":" +
           hex4(m_reader->productId(), true) + "." + hex4(m_place.hidSequence, true);
}

std::string UmockdevHidNode::hidrawSysfsPath() const {
    return hidPath() + "/hidraw/hidraw" + std::to_string(m_place.number);
}

std::string UmockdevHidNode::description() const {
    const std::string name = "hidraw" + std::to_string(m_place.number);
    const std::string hidName = hidPath().substr(interfacePath().size() + 1);
    const std::string vid = hex4(m_reader->vendorId(), false);
    const std::string pid = hex4(m_reader->productId(), false);
    const std::string manufacturer = sysfsText(m_reader->manufacturer());
    const std::string product = sysfsText(m_reader->product());
    const std::string serial = sysfsText(m_reader->serial().value_or(""));
    std::string descriptor;
    for (uint8_t b : m_reader->reportDescriptor()) {
        char digits[4];
        std::snprintf(digits, sizeof(digits), "%02X", b);
        descriptor += digits;
    }

    std::string text;
    text += "P: " + hidrawSysfsPath() + "\n";
    text += "N: " + name + "\n";
    text += "E: DEVNAME=/dev/" + name + "\n";
    text += "E: SUBSYSTEM=hidraw\n";
    text += "A: dev=240:" + std::to_string(m_place.number) + "\n";
    // hidapi finds the report descriptor through this link.
    text += "L: device=../../../" + hidName + "\n\n";

    text += "P: " + hidPath() + "\n";
    text += "E: SUBSYSTEM=hid\n";
    text += "E: DRIVER=hid-generic\n";
    text += "E: HID_ID=0003:0000" + hex4(m_reader->vendorId(), true) + ":0000" +
            hex4(m_reader->productId(), true) + "\n";
    text += "E: HID_NAME=" + manufacturer + " " + product + "\n";
    text += "E: HID_PHYS=usb-0000:00:14.0-" + std::to_string(m_place.port) + "/input0\n";
    if (m_complete) {
        text += "E: HID_UNIQ=" + serial + "\n";
    }
    text += "H: report_descriptor=" + descriptor + "\n\n";

    text += "P: " + interfacePath() + "\n";
    text += "E: SUBSYSTEM=usb\n";
    text += "E: DEVTYPE=usb_interface\n";
    text += "A: bInterfaceClass=03\n";
    text += "A: bInterfaceNumber=00\n\n";

    text += "P: " + usbDevicePath() + "\n";
    text += "E: SUBSYSTEM=usb\n";
    text += "E: DEVTYPE=usb_device\n";
    text += "E: BUSNUM=001\n";
    text += "A: idVendor=" + vid + "\n";
    text += "A: idProduct=" + pid + "\n";
    text += "A: bcdDevice=0100\n";
    text += "A: busnum=1\n";
    text += "A: devnum=" + std::to_string(m_place.port + 1) + "\n";
    text += "A: speed=12\n";
    text += "A: manufacturer=" + manufacturer + "\n";
    text += "A: product=" + product + "\n";
    if (m_reader->serial()) {
        text += "A: serial=" + serial + "\n";
    }
    return text;
}

bool UmockdevHidNode::plug(std::string* error) {
    GError* gerror = nullptr;
    if (m_watch != nullptr) {
        m_watch->drain();
    }
    if (!umockdev_testbed_add_from_string(m_testbed, description().c_str(), &gerror)) {
        if (error != nullptr) {
            *error = gerror != nullptr ? gerror->message : "umockdev refused the devices";
        }
        if (gerror != nullptr) {
            g_error_free(gerror);
        }
        return false;
    }
    m_handler = umockdev_ioctl_base_new();
    g_signal_connect(m_handler, "handle-ioctl", G_CALLBACK(onIoctl), this);
    g_signal_connect(m_handler, "handle-read", G_CALLBACK(onRead), this);
    g_signal_connect(m_handler, "client-connected", G_CALLBACK(onConnected), this);
    if (!umockdev_testbed_attach_ioctl(m_testbed, devnode().c_str(), m_handler, &gerror)) {
        if (error != nullptr) {
            *error = gerror != nullptr ? gerror->message : "umockdev refused the ioctl handler";
        }
        if (gerror != nullptr) {
            g_error_free(gerror);
        }
        return false;
    }
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_masterFd = umockdev_testbed_get_dev_fd(m_testbed, devnode().c_str());
        if (m_masterFd >= 0) {
            char slave[64];
            if (ptsname_r(m_masterFd, slave, sizeof(slave)) == 0) {
                m_ptyName = slave;
                m_tokenFd = ::open(slave, O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
            }
        }
        if (m_tokenFd < 0) {
            if (error != nullptr) {
                *error = "the node's pseudo-terminal cannot be opened";
            }
            return false;
        }
        m_plugged = true;
    }
    mapPseudoTerminal();
    m_reader->setInputSink([this](const Report& report) { push(report); });
    if (m_watch != nullptr) {
        m_watch->confirm(m_testbed, "/sys" + hidrawSysfsPath(), "add");
    }
    return true;
}

void UmockdevHidNode::mapPseudoTerminal() {
    struct stat st {};
    if (fstat(m_tokenFd, &st) != 0) {
        return;
    }
    const std::string numbers =
        std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev));
    gchar* root = umockdev_testbed_get_root_dir(m_testbed);
    const std::string link = std::string(root) + "/sys/dev/char/" + numbers;
    // hidapi's per-handle lookups fstat() the open node and ask udev for the
    // device with those numbers: the pseudo-terminal's, not the node's.
    if (symlink(("../.." + hidrawSysfsPath()).c_str(), link.c_str()) == 0) {
        m_ptyLinks[0] = link;
    }
    // umockdev's own map from the pseudo-terminal to the node.
    std::string mapped = m_ptyName;
    std::replace(mapped.begin(), mapped.end(), '/', '_');
    if (!mapped.empty()) {
        m_ptyLinks[1] = std::string(root) + "/dev/.ptymap/" + mapped;
    }
    const std::string sysPath = "/sys" + hidrawSysfsPath();
    umockdev_testbed_set_property_int(m_testbed, sysPath.c_str(), "MAJOR",
                                      static_cast<int>(major(st.st_rdev)));
    umockdev_testbed_set_property_int(m_testbed, sysPath.c_str(), "MINOR",
                                      static_cast<int>(minor(st.st_rdev)));
    umockdev_testbed_set_attribute(m_testbed, sysPath.c_str(), "dev", numbers.c_str());
    g_free(root);
}

void UmockdevHidNode::unplug() {
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (!m_plugged || m_gone) {
            return;
        }
        m_gone = true;
        m_queue.clear();
        // The hang-up: hidapi's poll sees POLLHUP on its end.
        int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
        if (null >= 0) {
            dup2(null, m_masterFd);
            ::close(null);
        }
        ::close(m_tokenFd);
        m_tokenFd = -1;
        if (m_waitingRead != nullptr) {
            umockdev_ioctl_client_complete(m_waitingRead, -1, EIO);
            g_object_unref(m_waitingRead);
            m_waitingRead = nullptr;
        }
    }
    m_reader->setInputSink(nullptr);
    m_reader->unplug();
    const std::string paths[] = {"/sys" + hidrawSysfsPath(), "/sys" + hidPath(),
                                 "/sys" + interfacePath(), "/sys" + usbDevicePath()};
    if (m_watch != nullptr) {
        m_watch->drain();
    }
    for (const std::string& path : paths) {
        umockdev_testbed_uevent(m_testbed, path.c_str(), "remove");
    }
    if (m_watch != nullptr) {
        m_watch->confirm(m_testbed, paths[0], "remove");
    }
    for (const std::string& path : paths) {
        umockdev_testbed_remove_device(m_testbed, path.c_str());
    }
    // A later node may get the same pseudo-terminal number: umockdev must not
    // find this node's entries then.
    for (std::string& link : m_ptyLinks) {
        if (!link.empty()) {
            unlink(link.c_str());
            link.clear();
        }
    }
}

void UmockdevHidNode::completeDescription() {
    const std::string sysPath = "/sys" + hidPath();
    umockdev_testbed_set_property(m_testbed, sysPath.c_str(), "HID_UNIQ",
                                  sysfsText(m_reader->serial().value_or("")).c_str());
}

bool UmockdevHidNode::isPlugged() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_plugged && !m_gone;
}

int UmockdevHidNode::openHandles() {
    std::lock_guard<std::mutex> guard(m_lock);
    pruneClients();
    return static_cast<int>(m_clients.size());
}

int UmockdevHidNode::pendingReports() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return static_cast<int>(m_queue.size());
}

void UmockdevHidNode::push(const Report& report) {
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_gone || report.empty()) {
        return;
    }
    pruneClients();
    if (m_waitingRead != nullptr) {
        completeRead(m_waitingRead, report);
        g_object_unref(m_waitingRead);
        m_waitingRead = nullptr;
        return;
    }
    if (m_queue.size() >= QUEUE_LIMIT) {
        return;
    }
    m_queue.push_back(report);
    const char token = TOKEN;
    if (write(m_masterFd, &token, 1) != 1) {
        m_queue.pop_back();  // poll would never see it
    }
}

void UmockdevHidNode::dropQueued() {
    m_queue.clear();
    char tokens[QUEUE_LIMIT];
    while (m_tokenFd >= 0 && read(m_tokenFd, tokens, sizeof(tokens)) > 0) {
    }
}

void UmockdevHidNode::completeRead(UMockdevIoctlClient* client, const Report& report) {
    UMockdevIoctlData* buffer = umockdev_ioctl_client_get_arg(client);
    size_t n = std::min(report.size(), static_cast<size_t>(std::max(buffer->data_len, 0)));
    std::memcpy(buffer->data, report.data(), n);  // the rest of a long report is lost
    umockdev_ioctl_client_complete(client, static_cast<long>(n), 0);
}

int UmockdevHidNode::onIoctl(UMockdevIoctlBase* /*handler*/, UMockdevIoctlClient* client,
                             void* self) {
    static_cast<UmockdevHidNode*>(self)->handleIoctl(client);
    return TRUE;
}

int UmockdevHidNode::onRead(UMockdevIoctlBase* /*handler*/, UMockdevIoctlClient* client,
                            void* self) {
    static_cast<UmockdevHidNode*>(self)->handleRead(client);
    return TRUE;
}

void UmockdevHidNode::onConnected(UMockdevIoctlBase* /*handler*/, UMockdevIoctlClient* client,
                                  void* self) {
    auto* node = static_cast<UmockdevHidNode*>(self);
    std::lock_guard<std::mutex> guard(node->m_lock);
    node->m_clients.push_back(static_cast<UMockdevIoctlClient*>(g_object_ref(client)));
}

void UmockdevHidNode::pruneClients() {
    const size_t before = m_clients.size();
    auto gone = std::stable_partition(m_clients.begin(), m_clients.end(), [](auto* client) {
        return umockdev_ioctl_client_get_connected(client) != FALSE;
    });
    for (auto it = gone; it != m_clients.end(); ++it) {
        if (*it == m_waitingRead) {
            g_object_unref(m_waitingRead);
            m_waitingRead = nullptr;
        }
        g_object_unref(*it);
    }
    m_clients.erase(gone, m_clients.end());
    if (before > 0 && m_clients.empty()) {
        dropQueued();  // the kernel frees a file's reports when it is closed
    }
}

void UmockdevHidNode::handleRead(UMockdevIoctlClient* client) {
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_gone) {
        umockdev_ioctl_client_complete(client, -1, EIO);
        return;
    }
    if (m_queue.empty()) {
        // A blocking read waits for the next report (umockdev holds the
        // handle's other calls meanwhile).
        if (m_waitingRead != nullptr) {
            g_object_unref(m_waitingRead);
        }
        m_waitingRead = static_cast<UMockdevIoctlClient*>(g_object_ref(client));
        return;
    }
    // Tokens and reports are kept in step, so a token waits for this one.
    char token;
    ssize_t taken = read(m_tokenFd, &token, 1);
    (void)taken;
    Report report = std::move(m_queue.front());
    m_queue.pop_front();
    completeRead(client, report);
}

void UmockdevHidNode::handleIoctl(UMockdevIoctlClient* client) {
    const unsigned long request = umockdev_ioctl_client_get_request(client);
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (m_gone) {
            umockdev_ioctl_client_complete(client, -1, ENODEV);
            return;
        }
    }
    if (_IOC_TYPE(request) != 'H') {
        umockdev_ioctl_client_complete(client, -1, ENOTTY);
        return;
    }
    const size_t size = _IOC_SIZE(request);
    const Report descriptor = m_reader->reportDescriptor();
    UMockdevIoctlData* data = nullptr;
    long result = 0;
    int error = 0;
    if (request == HIDIOCGRDESCSIZE) {
        data = resolve(client, sizeof(int));
        if (data != nullptr) {
            int n = static_cast<int>(descriptor.size());
            std::memcpy(data->data, &n, sizeof(n));
        }
    } else if (request == HIDIOCGRDESC) {
        data = resolve(client, sizeof(hidraw_report_descriptor));
        if (data != nullptr) {
            auto* out = reinterpret_cast<hidraw_report_descriptor*>(data->data);
            if (out->size > HID_MAX_DESCRIPTOR_SIZE) {
                result = -1;
                error = EINVAL;
            } else {
                size_t n = std::min<size_t>(out->size, descriptor.size());
                std::memcpy(out->value, descriptor.data(), n);
            }
        }
    } else if (request == HIDIOCGRAWINFO) {
        data = resolve(client, sizeof(hidraw_devinfo));
        if (data != nullptr) {
            hidraw_devinfo info{};
            info.bustype = 3;  // BUS_USB
            info.vendor = static_cast<int16_t>(m_reader->vendorId());
            info.product = static_cast<int16_t>(m_reader->productId());
            std::memcpy(data->data, &info, sizeof(info));
        }
    } else if (_IOC_NR(request) == _IOC_NR(HIDIOCSFEATURE(0)) ||
               _IOC_NR(request) == _IOC_NR(HIDIOCGFEATURE(0))) {
        featureIoctl(client, _IOC_NR(request) == _IOC_NR(HIDIOCSFEATURE(0)), size);
        return;
    } else {
        umockdev_ioctl_client_complete(client, -1, EINVAL);
        return;
    }
    if (data == nullptr) {
        umockdev_ioctl_client_complete(client, -1, EFAULT);
        return;
    }
    umockdev_ioctl_client_complete(client, result, error);
    g_object_unref(data);
}

void UmockdevHidNode::featureIoctl(UMockdevIoctlClient* client, bool set, size_t size) {
    if (size == 0) {
        umockdev_ioctl_client_complete(client, -1, EINVAL);
        return;
    }
    UMockdevIoctlData* data = resolve(client, size);
    if (data == nullptr) {
        umockdev_ioctl_client_complete(client, -1, EFAULT);
        return;
    }
    long result;
    int error = 0;
    // The hooks run without m_lock: a command may make the reader push
    // reports (notifications), which takes it.
    if (set) {
        Report report(data->data, data->data + size);
        result = m_reader->setFeatureTransfer(report) ? static_cast<long>(size) : -1;
    } else {
        Report bytes = m_reader->getFeatureTransfer(data->data[0]);
        result = VirtualReader::placeFeatureReport(bytes, data->data, size);
    }
    if (result < 0) {
        error = EPIPE;  // the device stalled the control transfer
    }
    umockdev_ioctl_client_complete(client, result, error);
    g_object_unref(data);
}

}  // namespace quorin_sim
