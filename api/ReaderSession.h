// The process-wide session state every exported function shares: the device
// list and map built by enumeration, the first-generation reader, the Ex
// readers with their delegates, and the library's result buffers.
//
// The exported functions expect one host thread at a time, but command
// workers and callback threads run beside it, so the reader tables are
// guarded by m_lock. Readers are held by shared pointers: a command worker
// that still runs keeps its reader alive after a close.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "api/LocalDelegateEx.h"
#include "reader/CRConfigTable.h"
#include "reader/Strivo.h"

namespace quorin {

class ReaderSession {
public:
    static constexpr size_t DEVICE_LIST_SIZE = 4096;
    static constexpr size_t CARD_DATA_BUFFER_SIZE = 16384;
    static constexpr size_t SERIAL_NUMBER_BUFFER_SIZE = 128;
    static constexpr size_t SEND_COMMAND_RESULT_SIZE = 26112;
    static constexpr size_t RING_SLOT = 256;
    static constexpr size_t RING_TEXT_MAX = 767;

    struct OpenedReader {
        std::string path;
        std::shared_ptr<Strivo> reader;
        std::unique_ptr<LocalDelegateEx> delegate;
    };

    static ReaderSession& instance();
    ~ReaderSession();

    // ---- enumeration
    // Rebuilds g_deviceList and g_deviceMap from the attached readers.
    char* enumerate();

    // ---- first generation
    long openFirst(const char* name);
    void closeFirst();
    std::shared_ptr<Strivo> current();

    // ---- Ex generation
    unsigned long openEx(const char* name);
    void closeEx(unsigned long handle);
    // The reader behind a handle that is open now; null for 0 or an unknown
    // handle. Handles are looked up, never trusted as pointers.
    std::shared_ptr<Strivo> find(unsigned long handle);
    // Runs fn(delegate) under the table lock when the handle is open.
    template <typename Fn>
    void withExDelegate(unsigned long handle, Fn&& fn) {
        std::lock_guard<std::recursive_mutex> guard(m_lock);
        for (auto& entry : g_openedDeviceMap) {
            if (handleOf(entry.reader.get()) == handle && handle != 0 && entry.delegate) {
                fn(*entry.delegate);
                return;
            }
        }
    }

    // ---- result ring
    // Copies s (cut to 767 characters) into the next ring slot.
    const char* staticString(const char* s);
    // Returns texts of any length: those that fit a ring slot go through the
    // ring; longer ones are kept in a ring of 32 strings of their own.
    const char* keepText(const std::string& s);

    static unsigned long handleOf(const Strivo* reader) {
        return reinterpret_cast<unsigned long>(reader);
    }

    // Buffers of the first and plain generations.
    char g_deviceList[DEVICE_LIST_SIZE];
    char cardDataBuffer[CARD_DATA_BUFFER_SIZE];
    char DeviceSerialNumberBuffer[SERIAL_NUMBER_BUFFER_SIZE];
    char sendCommandResult[SEND_COMMAND_RESULT_SIZE];
    std::atomic<bool> bInBusy{false};

private:
    ReaderSession();
    static bool enum_Strivo(const char* pathScheme, void* extraInfo);
    // The entry the first generation opens for no name or an "HID://" name:
    // the listed reader the name names exactly, else the last listed HID
    // reader; null when no HID reader is listed.
    const std::pair<std::string, const CRConfigTable*>* firstGenerationEntry(
        const char* name) const;
    void waitWhile(const std::function<bool()>& busy);
    // Tells the callback threads whether any reader is open (they wait for
    // further callbacks only then).
    void updateCallbackThreads();

    std::recursive_mutex m_lock;  // guards the tables below
    std::vector<std::pair<std::string, const CRConfigTable*>> g_deviceMap;
    std::shared_ptr<Strivo> openedDevice;
    std::vector<OpenedReader> g_openedDeviceMap;

    std::mutex m_ringLock;  // guards the long-text ring and its index
    std::atomic<int> m_ringIndex{0};
    std::vector<std::string> m_longTexts;
    size_t m_longIndex = 0;
};

}  // namespace quorin
