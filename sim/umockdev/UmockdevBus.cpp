#include "umockdev/UmockdevBus.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <umockdev.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

namespace quorin_sim {

std::string UmockdevBus::unavailableReason() {
    if (dlopen("libumockdev-preload.so.0", RTLD_LAZY | RTLD_NOLOAD) == nullptr) {
        return "umockdev's preload library is not loaded (run under umockdev-wrapper)";
    }
    int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0) {
        return std::string("no pseudo-terminals for the emulated nodes: ") + std::strerror(errno);
    }
    std::string reason;
    char slave[64];
    if (grantpt(master) != 0 || unlockpt(master) != 0 ||
        ptsname_r(master, slave, sizeof(slave)) != 0) {
        reason = std::string("pseudo-terminals cannot be set up: ") + std::strerror(errno);
    } else {
        int fd = ::open(slave, O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (fd < 0) {
            reason = std::string("pseudo-terminals cannot be opened (/dev/pts): ") +
                     std::strerror(errno);
        } else {
            ::close(fd);
        }
    }
    ::close(master);
    return reason;
}

UmockdevBus::UmockdevBus() {
    std::signal(SIGHUP, SIG_IGN);
    m_testbed = umockdev_testbed_new();
    m_watch = std::make_unique<UeventWatch>();
}

UmockdevBus::~UmockdevBus() {
    std::vector<std::shared_ptr<UmockdevHidNode>> nodes;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        nodes.swap(m_nodes);
    }
    nodes.clear();  // unplugs and disconnects the handlers
    m_watch.reset();
    g_object_unref(m_testbed);
}

bool UmockdevBus::attach(const std::shared_ptr<VirtualReader>& reader, std::string* error,
                         Listing listing) {
    if (!reader) {
        return false;
    }
    std::lock_guard<std::mutex> guard(m_lock);
    UmockdevHidNode::Place place;
    place.number = m_nextNumber++;
    place.port = place.number + 1;
    place.hidSequence = place.number + 1;
    auto node = std::make_shared<UmockdevHidNode>(m_testbed, reader, place,
                                                  listing == Listing::COMPLETE, m_watch.get());
    reader->setPath(node->devnode());
    reader->replug();  // a reader pulled out before is back
    m_nodes.push_back(node);
    return node->plug(error);
}

void UmockdevBus::unplug(const std::shared_ptr<VirtualReader>& reader) {
    std::lock_guard<std::mutex> guard(m_lock);
    for (auto& node : m_nodes) {
        if (node->reader() == reader) {
            node->unplug();
        }
    }
}

void UmockdevBus::reset() {
    std::lock_guard<std::mutex> guard(m_lock);
    for (auto& node : m_nodes) {
        node->unplug();
    }
}

std::vector<std::shared_ptr<VirtualReader>> UmockdevBus::readers() const {
    std::lock_guard<std::mutex> guard(m_lock);
    std::vector<std::shared_ptr<VirtualReader>> out;
    for (const auto& node : m_nodes) {
        if (node->isPlugged()) {
            out.push_back(node->reader());
        }
    }
    return out;
}

std::shared_ptr<UmockdevHidNode> UmockdevBus::node(
    const std::shared_ptr<VirtualReader>& reader) const {
    std::lock_guard<std::mutex> guard(m_lock);
    for (auto it = m_nodes.rbegin(); it != m_nodes.rend(); ++it) {
        if ((*it)->reader() == reader) {
            return *it;
        }
    }
    return nullptr;
}

int UmockdevBus::openHandles() const {
    std::lock_guard<std::mutex> guard(m_lock);
    int n = 0;
    for (const auto& node : m_nodes) {
        n += node->openHandles();
    }
    return n;
}

std::string UmockdevBus::rootDirectory() const {
    gchar* root = umockdev_testbed_get_root_dir(m_testbed);
    std::string out = root != nullptr ? root : "";
    g_free(root);
    return out;
}

}  // namespace quorin_sim
