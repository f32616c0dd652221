#include "virtualhid/VirtualHid.h"

#include <algorithm>
#include <string>

namespace quorin_sim {

VirtualHid& VirtualHid::instance() {
    static VirtualHid bus;
    return bus;
}

void VirtualHid::reset() {
    std::vector<std::shared_ptr<VirtualReader>> gone;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        for (const auto& reader : m_readers) {
            if (!reader->isUnplugged()) {
                notify(*reader, false);
            }
        }
        gone.swap(m_readers);
        m_backend = HidBackend::HIDRAW;
        m_nextIndex = 0;
    }
    for (auto& reader : gone) {
        reader->unplug();
    }
}

void VirtualHid::setBackend(HidBackend backend) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_backend = backend;
}

HidBackend VirtualHid::backend() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_backend;
}

void VirtualHid::attach(const std::shared_ptr<VirtualReader>& reader) {
    if (!reader) {
        return;
    }
    std::lock_guard<std::mutex> guard(m_lock);
    if (std::find(m_readers.begin(), m_readers.end(), reader) != m_readers.end()) {
        return;
    }
    if (reader->path().empty()) {
        int index = m_nextIndex++;
        if (m_backend == HidBackend::HIDRAW) {
            reader->setPath("/dev/hidraw" + std::to_string(index));
        } else {
            // bus 1, hub on port 2, one port of the hub per reader, config 1, interface 0
            reader->setPath("1-2." + std::to_string(index + 1) + ":1.0");
        }
    }
    if (reader->m_id.load() == 0) {
        reader->m_id.store(m_nextId++);
    }
    m_readers.push_back(reader);
    if (!reader->isUnplugged()) {
        notify(*reader, true);
    }
}

void VirtualHid::detach(const std::shared_ptr<VirtualReader>& reader) {
    if (!reader) {
        return;
    }
    {
        std::lock_guard<std::mutex> guard(m_lock);
        auto it = std::find(m_readers.begin(), m_readers.end(), reader);
        if (it != m_readers.end()) {
            if (!reader->isUnplugged()) {
                notify(*reader, false);
            }
            m_readers.erase(it);
        }
    }
    reader->unplug();  // off the list already: tells no watcher again
}

int VirtualHid::watch(Watcher watcher) {
    std::lock_guard<std::mutex> guard(m_lock);
    int id = m_nextWatcher++;
    m_watchers.emplace_back(id, std::move(watcher));
    return id;
}

bool VirtualHid::unwatch(int id) {
    std::lock_guard<std::mutex> guard(m_lock);
    auto it = std::find_if(m_watchers.begin(), m_watchers.end(),
                           [id](const auto& entry) { return entry.first == id; });
    if (it == m_watchers.end()) {
        return false;
    }
    m_watchers.erase(it);
    return true;
}

void VirtualHid::listingChanged(VirtualReader& reader, bool listed) {
    std::lock_guard<std::mutex> guard(m_lock);
    for (const auto& onBus : m_readers) {
        if (onBus.get() == &reader) {
            notify(reader, listed);
            return;
        }
    }
}

void VirtualHid::notify(const VirtualReader& reader, bool listed) {
    const std::string path = reader.path();
    for (const auto& entry : m_watchers) {
        entry.second(path, reader.vendorId(), reader.productId(), listed);
    }
}

std::shared_ptr<VirtualReader> VirtualHid::find(int id) const {
    std::lock_guard<std::mutex> guard(m_lock);
    for (const auto& reader : m_readers) {
        if (reader->id() == id) {
            return reader;
        }
    }
    return nullptr;
}

std::vector<std::shared_ptr<VirtualReader>> VirtualHid::readers() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_readers;
}

}  // namespace quorin_sim
