#include "api/ReaderSession.h"

#include <chrono>
#include <cstring>
#include <thread>

#include "api/LocalDelegate.h"
#include "common/stdafx.h"
#include "transport/iConnection.h"

namespace quorin {

namespace {
constexpr int LONG_TEXT_SLOTS = 32;
// How long a close waits for callbacks of the reader that are still running,
// and the unload for every callback and worker thread.
constexpr std::chrono::milliseconds CALLBACK_DRAIN_TIMEOUT(2000);
}  // namespace

ReaderSession& ReaderSession::instance() {
    static ReaderSession session;
    return session;
}

ReaderSession::ReaderSession() : m_longTexts(LONG_TEXT_SLOTS) {
    std::memset(g_deviceList, 0, sizeof(g_deviceList));
    std::memset(cardDataBuffer, 0, sizeof(cardDataBuffer));
    std::memset(DeviceSerialNumberBuffer, 0, sizeof(DeviceSerialNumberBuffer));
    std::memset(sendCommandResult, 0, sizeof(sendCommandResult));
}

ReaderSession::~ReaderSession() {
    // Unloading with readers still open: close them so their receiving
    // threads are joined while the code is still mapped, then let the
    // detached callback and worker threads leave.
    try {
        std::vector<OpenedReader> readers;
        std::shared_ptr<Strivo> first;
        {
            std::lock_guard<std::recursive_mutex> guard(m_lock);
            readers.swap(g_openedDeviceMap);
            first.swap(openedDevice);
        }
        for (auto& entry : readers) {
            entry.reader->setDelegate(nullptr);
            entry.delegate->gate()->close();
        }
        if (first) {
            first->setDelegate(nullptr);
        }
        readers.clear();
        first.reset();
        CallbackGate::waitProcessIdle(CALLBACK_DRAIN_TIMEOUT);
    } catch (...) {
    }
}

bool ReaderSession::enum_Strivo(const char* pathScheme, void* extraInfo) {
    const auto* info = static_cast<const DeviceExtraInfo*>(extraInfo);
    if (info == nullptr || info->size != 32 || info->InfoId == 0 || pathScheme == nullptr) {
        return false;
    }
    ReaderSession& self = instance();
    size_t used = std::strlen(self.g_deviceList);
    size_t add = std::strlen(pathScheme) + (used != 0 ? 1 : 0);
    // A path that would not fit is left out whole, so the list stays a list
    // of complete paths; the map then leaves it out too.
    if (used + add >= DEVICE_LIST_SIZE) {
        return false;
    }
    if (used != 0) {
        std::strcat(self.g_deviceList, ",");
    }
    std::strcat(self.g_deviceList, pathScheme);
    for (const CRConfigTable& row : CR_CfgTable) {
        if (row.dwPID == static_cast<long>(info->InfoId)) {
            self.g_deviceMap.emplace_back(pathScheme, &row);
        }
    }
    return false;
}

char* ReaderSession::enumerate() {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    std::memset(g_deviceList, 0, sizeof(g_deviceList));
    g_deviceMap.clear();
    iConnection::enumDevices(&ReaderSession::enum_Strivo);
    return g_deviceList;
}

void ReaderSession::waitWhile(const std::function<bool()>& busy) {
    while (busy()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

long ReaderSession::openFirst(const char* name) {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    if (openedDevice) {
        return 0;
    }
    enumerate();
    std::string target;
    const CRConfigTable* row = nullptr;
    bool haveTarget = false;
    if (name != nullptr && name[0] != '\0' && std::strncmp(name, "HID://", 6) != 0) {
        target = name;
        haveTarget = true;
        for (const auto& entry : g_deviceMap) {
            if (entry.first == target) {
                row = entry.second;
                break;
            }
        }
    } else if (const auto* entry = firstGenerationEntry(name)) {
        target = entry->first;
        row = entry->second;
        haveTarget = true;
    }
    if (haveTarget) {
        std::shared_ptr<Strivo> reader = Strivo::open(target.c_str(), row);
        if (reader) {
            openedDevice = reader;
            reader->clear();
            reader->setDelegate(&localDelegate());
            localDelegate().OnDeviceChange(reader.get(), ZEDRA_STATE_CONNECTED);
            updateCallbackThreads();
        }
    }
    return openedDevice ? 0 : 1;
}

const std::pair<std::string, const CRConfigTable*>* ReaderSession::firstGenerationEntry(
    const char* name) const {
    // Any attached HID reader will do, and hosts rely on the last listed one
    // being taken; but a name that is a listed path means that reader.
    const std::pair<std::string, const CRConfigTable*>* last = nullptr;
    for (const auto& entry : g_deviceMap) {
        if (name != nullptr && entry.first == name) {
            return &entry;
        }
        if (UPPER(entry.first).compare(0, 3, "HID") == 0) {
            last = &entry;
        }
    }
    return last;
}

void ReaderSession::closeFirst() {
    std::shared_ptr<Strivo> reader = current();
    if (reader) {
        waitWhile([this] { return bInBusy.load(); });
        localDelegate().OnDeviceChange(reader.get(), ZEDRA_STATE_DISCONNECTED);
        try {
            reader->setDelegate(nullptr);
        } catch (...) {
        }
        std::lock_guard<std::recursive_mutex> guard(m_lock);
        if (openedDevice == reader) {
            openedDevice.reset();
        }
    }
    // A command worker may still hold the reader; it is destroyed when the
    // last holder lets go.
    reader.reset();
    std::memset(DeviceSerialNumberBuffer, 0, sizeof(DeviceSerialNumberBuffer));
    CallbackGate::releaseIdleThreads();
    updateCallbackThreads();
}

void ReaderSession::updateCallbackThreads() {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    CallbackGate::readersOpen(openedDevice != nullptr || !g_openedDeviceMap.empty());
}

std::shared_ptr<Strivo> ReaderSession::current() {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    return openedDevice;
}

unsigned long ReaderSession::openEx(const char* name) {
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    enumerate();
    std::string target;
    const CRConfigTable* row = nullptr;
    if (name != nullptr && name[0] != '\0') {
        target = name;
        for (const auto& entry : g_deviceMap) {
            if (entry.first == target) {
                row = entry.second;
                break;
            }
        }
    } else if (!g_deviceMap.empty()) {
        target = g_deviceMap.front().first;
        row = g_deviceMap.front().second;
    } else {
        return 0;
    }
    for (const auto& entry : g_openedDeviceMap) {
        if (entry.path == target) {
            return 0;
        }
    }
    std::shared_ptr<Strivo> reader = Strivo::open(target.c_str(), row);
    if (!reader) {
        return 0;
    }
    reader->clear();
    auto delegate = std::make_unique<LocalDelegateEx>();
    reader->setDelegate(delegate.get());
    localDelegate().OnDeviceChange(reader.get(), ZEDRA_STATE_CONNECTED);
    unsigned long handle = handleOf(reader.get());
    g_openedDeviceMap.push_back(OpenedReader{target, reader, std::move(delegate)});
    updateCallbackThreads();
    return handle;
}

void ReaderSession::closeEx(unsigned long handle) {
    if (handle == 0) {
        return;
    }
    std::shared_ptr<Strivo> reader = find(handle);
    if (!reader) {
        return;
    }
    waitWhile([&reader] { return reader->flag.load() == 1; });
    OpenedReader entry;
    {
        std::lock_guard<std::recursive_mutex> guard(m_lock);
        for (auto it = g_openedDeviceMap.begin(); it != g_openedDeviceMap.end(); ++it) {
            if (it->reader == reader) {
                entry = std::move(*it);
                g_openedDeviceMap.erase(it);
                break;
            }
        }
    }
    if (!entry.reader) {
        return;  // closed by another thread meanwhile
    }
    try {
        // After this no event reaches the delegate; then no new callback
        // starts, and the ones running are given time to return.
        entry.reader->setDelegate(nullptr);
        entry.delegate->gate()->close();
        entry.delegate->gate()->waitIdle(CALLBACK_DRAIN_TIMEOUT);
    } catch (...) {
    }
    entry.delegate.reset();
    entry.reader.reset();
    CallbackGate::releaseIdleThreads();
    updateCallbackThreads();
}

std::shared_ptr<Strivo> ReaderSession::find(unsigned long handle) {
    if (handle == 0) {
        return nullptr;
    }
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    for (const auto& entry : g_openedDeviceMap) {
        if (handleOf(entry.reader.get()) == handle) {
            return entry.reader;
        }
    }
    return nullptr;
}

const char* ReaderSession::staticString(const char* s) {
    if (s == nullptr) {
        s = "";
    }
    int current = m_ringIndex.load();
    int next;
    do {
        next = current + 3;
        if (next > 97) {
            next %= 100;
        }
    } while (!m_ringIndex.compare_exchange_weak(current, next));
    char* slot = sendCommandResult + static_cast<size_t>(next) * RING_SLOT;
    size_t length = strnlen(s, RING_TEXT_MAX);
    std::memmove(slot, s, length);
    slot[length] = '\0';
    return slot;
}

const char* ReaderSession::keepText(const std::string& s) {
    if (s.size() <= RING_TEXT_MAX && s.find('\0') == std::string::npos) {
        return staticString(s.c_str());
    }
    std::lock_guard<std::mutex> guard(m_ringLock);
    std::string& slot = m_longTexts[m_longIndex];
    m_longIndex = (m_longIndex + 1) % m_longTexts.size();
    slot = s;
    return slot.c_str();
}

}  // namespace quorin
