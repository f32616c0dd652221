#include "api/ReaderSession.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <climits>
#include <cstring>
#include <limits>
#include <thread>

#include "api/CallbackWatch.h"
#include "api/CallbackWorkers.h"
#include "api/LocalDelegate.h"
#include "api/ResultRing.h"
#include "common/CardDataPool.h"
#include "common/Diagnostics.h"
#include "common/LibraryState.h"
#include "common/MutexLock.h"
#include "common/ResultCode.h"
#include "common/stdafx.h"
#include "transport/Recorder.h"
#include "transport/iConnection.h"

namespace quorin {

namespace {
// How long the unload waits for each reader's command in flight, and for
// every callback and worker thread to leave before the code is unmapped.
constexpr std::chrono::milliseconds UNLOAD_WAIT(2000);
// Waits that end only when what they wait for is done.
constexpr auto NO_LIMIT = std::chrono::milliseconds(std::numeric_limits<int>::max());

// The calling thread's result texts and results (see keepText, noteResult).
struct ThreadTexts {
    std::array<CardText, ReaderSession::THREAD_TEXT_SLOTS> slots;
    size_t next = 0;
};
thread_local ThreadTexts t_texts;

// A queued command's outcome not known yet.
constexpr int PENDING = INT_MIN;

struct ThreadResult {
    unsigned long handle;
    int code;
    int readerCode;  // -1: the reader's answer did not come or was not read
    // Set for a queued command: its outcome, code PENDING until it ended.
    std::shared_ptr<ReaderSession::Outcome> outcome;
};
constexpr size_t THREAD_RESULTS = 16;
thread_local std::array<ThreadResult, THREAD_RESULTS> t_results{};
thread_local size_t t_resultCount = 0;

}  // namespace

ReaderSession& ReaderSession::instance() {
    // Never destroyed: a host thread may still call in while another one
    // exits the process. The teardown, registered right after the session
    // was made, closes what is open at exit or unload and empties the tables.
    static NeverDestroyed<ReaderSession> session;
    static struct Teardown {
        ~Teardown() { instance().teardown(); }
    } teardown;
    return session.get();
}

ReaderSession::ReaderSession() {
    std::memset(g_deviceList, 0, sizeof(g_deviceList));
    std::memset(DeviceSerialNumberBuffer, 0, sizeof(DeviceSerialNumberBuffer));
}

void ReaderSession::teardown() {
    if (LibraryState::forked()) {
        // A forked child's copy: the readers, their threads and descriptors
        // are the parent's.
        return;
    }
    // Unloading with readers still open: close them so their receiving
    // threads are joined while the code is still mapped, then let the
    // callback and worker threads leave. Every wait is bounded here: a host
    // callback that never returns must not hang the process's exit.
    try {
        std::vector<OpenedReader> readers;
        std::shared_ptr<Strivo> first;
        std::shared_ptr<CallbackQueue> firstCommands;
        std::vector<std::shared_ptr<ClosingReader>> closing;
        {
            // Under the lock: an open in progress finishes first (and its
            // reader is closed below), a later one is refused.
            MutexLock guard(m_lock);
            LibraryState::beginTeardown();
            std::vector<ListedReader>().swap(g_deviceMap);
            m_deviceLocks.clear();
            closing.swap(m_closing);
            readers.swap(g_openedDeviceMap);
            first.swap(openedDevice);
            firstCommands.swap(m_firstCommands);
        }
        // Takes the exchange lock when it can be had within UNLOAD_WAIT and
        // shuts the reader down either way: the analysis cannot follow a
        // lock that may or may not be held.
        auto stop = [](const std::shared_ptr<Strivo>& reader,
                       const std::shared_ptr<CallbackQueue>& commands) NO_THREAD_SAFETY_ANALYSIS {
            reader->interruptExchange();
            if (commands) {
                commands->abandon(UNLOAD_WAIT);
            }
            // An exchange still in flight on a host thread gets a bounded
            // while to end. Polled: this runs once, at unload, and a timed
            // lock is invisible to the thread sanitizer.
            std::unique_lock<std::mutex> exchange(reader->lock.native(), std::defer_lock);
            const auto deadline = std::chrono::steady_clock::now() + UNLOAD_WAIT;
            while (!exchange.try_lock() && std::chrono::steady_clock::now() < deadline) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            reader->setDelegate(nullptr);
            reader->shutDown();
        };
        for (auto& entry : readers) {
            stop(entry.reader, entry.commands);
            entry.delegate->callbacks()->abandon(UNLOAD_WAIT);
        }
        if (first) {
            stop(first, firstCommands);
        }
        // Nothing is made here that did not exist: it would only leak.
        if (LocalDelegate* delegate = localDelegateIfMade()) {
            delegate->callbacks()->abandon(UNLOAD_WAIT);
        }
        readers.clear();
        first.reset();
        CallbackWatch::retireInstance();
        CallbackWorkers::retireInstance(UNLOAD_WAIT);
        // The readers are closed: the recorder's writer has ended, or ends now.
        Recorder::retire(UNLOAD_WAIT);
        // The card-data pool's chunks go once no card data is held any more.
        CardDataPool::instance().releaseWhenIdle();
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
    const std::string device =
        info->Path != nullptr ? std::string("HID://") + info->Path : std::string();
    for (const CRConfigTable& row : CR_CfgTable) {
        if (row.dwPID == static_cast<long>(info->InfoId)) {
            self.g_deviceMap.push_back(ListedReader{pathScheme, &row, device});
        }
    }
    return false;
}

char* ReaderSession::enumerate() {
    static char none[1] = {0};
    if (LibraryState::closed()) {
        return none;
    }
    MutexLock guard(m_lock);
    if (LibraryState::closed()) {
        return none;  // the teardown ran while this call waited for the lock
    }
    enumerateLocked();
    return g_deviceList;
}

void ReaderSession::enumerateLocked() {
    std::memset(g_deviceList, 0, sizeof(g_deviceList));
    g_deviceMap.clear();
    iConnection::enumDevices(&ReaderSession::enum_Strivo);
}

long ReaderSession::openFirst(const char* name) {
    if (LibraryState::closed()) {
        return 1;
    }
    MutexLock guard(m_lock);
    if (LibraryState::closed()) {
        return 1;  // the teardown ran while this call waited for the lock
    }
    if (openedDevice) {
        return 0;
    }
    enumerateLocked();
    std::string target;
    const CRConfigTable* row = nullptr;
    bool haveTarget = false;
    if (name != nullptr && name[0] != '\0' && std::strncmp(name, "HID://", 6) != 0) {
        target = name;
        haveTarget = true;
        row = rowFor(target, iConnection::deviceOf(name));
    } else if (const ListedReader* entry = firstGenerationEntry(name)) {
        target = entry->path;
        row = entry->row;
        haveTarget = true;
    }
    if (haveTarget) {
        std::shared_ptr<Strivo> reader =
            openShared(target, iConnection::deviceOf(target.c_str()), row);
        if (reader) {
            openedDevice = reader;
            m_firstCommands = CallbackQueue::create(std::chrono::milliseconds(0));
            reader->clear();
            reader->setDelegate(&localDelegate());
            localDelegate().OnDeviceChange(reader.get(), ZEDRA_STATE_CONNECTED);
            updateCallbackThreads();
        }
    }
    debugLog("open %s (first generation): %s", haveTarget ? target.c_str() : "(no reader listed)",
             openedDevice ? "open" : "failed");
    return openedDevice ? 0 : 1;
}

std::shared_ptr<Mutex> ReaderSession::deviceLock(const std::string& device) {
    if (device.empty()) {
        return nullptr;
    }
    for (auto it = m_deviceLocks.begin(); it != m_deviceLocks.end();) {
        it = it->second.expired() ? m_deviceLocks.erase(it) : std::next(it);
    }
    std::shared_ptr<Mutex> lock = m_deviceLocks[device].lock();
    if (!lock) {
        lock = std::make_shared<Mutex>();
        m_deviceLocks[device] = lock;
    }
    return lock;
}

std::shared_ptr<Strivo> ReaderSession::openShared(const std::string& target,
                                                  const std::string& device,
                                                  const CRConfigTable* row) {
    std::shared_ptr<Mutex> shared = deviceLock(device);
    if (!shared) {
        return Strivo::open(target.c_str(), row);
    }
    // The opening handshake is an exchange too: none of another reader
    // object on the same device may run meanwhile.
    MutexLock exchange(*shared);
    std::shared_ptr<Strivo> reader = Strivo::open(target.c_str(), row);
    if (reader) {
        reader->shareDeviceLock(shared);
    }
    return reader;
}

void ReaderSession::shutDown(const std::shared_ptr<Strivo>& reader,
                             const std::shared_ptr<CallbackQueue>& commands,
                             Strivo_Delegate* delegate,
                             const std::shared_ptr<CallbackQueue>& callbacks, bool closeCallbacks) {
    // An exchange waiting for a silent reader ends now (5), so the waits
    // below are short whatever the command time-out.
    reader->interruptExchange();
    if (commands) {
        // Commands not started are not sent; the running one finishes (its
        // answer, when it had one, is still delivered below).
        commands->abandon(NO_LIMIT);
    }
    {
        // After any exchange in flight on another host thread.
        MutexLock exchange(reader->lock);
        if (delegate != nullptr) {
            delegate->OnDeviceChange(reader.get(), ZEDRA_STATE_DISCONNECTED);
        }
        reader->setDelegate(nullptr);
        // Joins the receiving thread: no event of this reader arrives any
        // more.
        reader->shutDown();
    }
    // A call in progress may keep the object a while: nothing of the card
    // stays with it.
    reader->clear();
    if (closeCallbacks) {
        callbacks->close();
    }
}

const CRConfigTable* ReaderSession::rowOf(const std::string& path,
                                          const std::string& device) const {
    for (const auto& entry : g_deviceMap) {
        if (entry.path == path) {
            return entry.row;
        }
    }
    // A listed reader under another name (other letter case, the start of
    // its serial number, its system path) is still that model.
    for (const auto& entry : g_deviceMap) {
        if (!device.empty() && entry.device == device) {
            return entry.row;
        }
    }
    return nullptr;
}

const CRConfigTable* ReaderSession::rowFor(const std::string& path, const std::string& device) {
    const CRConfigTable* row = rowOf(path, device);
    if (row == nullptr && device.compare(0, 6, "HID://") == 0) {
        // The device list was read before the path was resolved: a reader
        // plugged back in meanwhile is found, but not yet in the list. Read
        // it again rather than drive the reader without its model.
        enumerateLocked();
        row = rowOf(path, device);
    }
    return row;
}

const ReaderSession::ListedReader* ReaderSession::firstGenerationEntry(const char* name) const {
    // Any attached HID reader will do, and hosts rely on the last listed one
    // being taken; but a name that is a listed path means that reader.
    const ListedReader* last = nullptr;
    for (const auto& entry : g_deviceMap) {
        if (name != nullptr && entry.path == name) {
            return &entry;
        }
        if (UPPER(entry.path).compare(0, 3, "HID") == 0) {
            last = &entry;
        }
    }
    return last;
}

void ReaderSession::closeFirst() {
    if (LibraryState::closed()) {
        return;  // the teardown closes it (in a forked child, nothing is ours)
    }
    std::shared_ptr<Strivo> reader;
    std::shared_ptr<CallbackQueue> commands;
    const std::shared_ptr<CallbackQueue>& callbacks = localDelegate().callbacks();
    const bool inCallback = CallbackQueue::current() == callbacks.get();
    bool drain = true;
    {
        UniqueLock lock(m_lock);
        reader.swap(openedDevice);
        commands.swap(m_firstCommands);
        if (reader) {
            ++m_firstStopping;
            ++m_firstClosing;
            m_firstClosedInCallback = inCallback;
        } else {
            // Being closed by another thread (at any step), or closed from
            // inside a callback that may still run: wait for that close's
            // step 3, then for the callbacks as a close does. With nothing of
            // the kind, there is nothing to wait for.
            drain = m_firstClosing > 0 || m_firstClosedInCallback;
            m_stopped.wait(lock.native(), [&]() REQUIRES(m_lock) { return m_firstStopping == 0; });
            m_firstClosedInCallback = m_firstClosedInCallback && inCallback;
        }
    }
    if (reader) {
        debugLog("close (first generation)");
        try {
            // The first generation's callbacks serve the next reader too:
            // their queue stays open.
            shutDown(reader, commands, &localDelegate(), callbacks, false);
        } catch (...) {
        }
        {
            MutexLock guard(m_lock);
            --m_firstStopping;
        }
        m_stopped.notify_all();
    }
    if (drain) {
        callbacks->drain();
    }
    if (reader) {
        MutexLock guard(m_lock);
        --m_firstClosing;
    }
    // Another thread's call may still hold the reader; its connection is
    // gone, and the object goes with the last holder.
    reader.reset();
    std::memset(DeviceSerialNumberBuffer, 0, sizeof(DeviceSerialNumberBuffer));
    wipeFirstGenerationTexts();
    CallbackWorkers::instance().trimIdle();
    MutexLock guard(m_lock);
    updateCallbackThreads();
}

void ReaderSession::updateCallbackThreads() {
    CallbackWorkers::instance().setLinger(openedDevice != nullptr || !g_openedDeviceMap.empty());
}

std::shared_ptr<Strivo> ReaderSession::current() {
    if (LibraryState::closed()) {
        return nullptr;
    }
    MutexLock guard(m_lock);
    return openedDevice;
}

std::shared_ptr<CallbackQueue> ReaderSession::firstCommands() {
    if (LibraryState::closed()) {
        return nullptr;
    }
    MutexLock guard(m_lock);
    return m_firstCommands;
}

unsigned long ReaderSession::openEx(const char* name) {
    if (LibraryState::closed()) {
        return 0;
    }
    MutexLock guard(m_lock);
    if (LibraryState::closed()) {
        return 0;  // the teardown ran while this call waited for the lock
    }
    enumerateLocked();
    pruneClosing();
    std::string target;
    const CRConfigTable* row = nullptr;
    std::string device;
    if (name != nullptr && name[0] != '\0') {
        target = name;
        device = iConnection::deviceOf(name);
        row = rowFor(target, device);
    } else if (!g_deviceMap.empty()) {
        target = g_deviceMap.front().path;
        row = g_deviceMap.front().row;
        device = iConnection::deviceOf(target.c_str());
    } else {
        return 0;
    }
    // A second open of one reader, by the same or by another name, would
    // put two connections on it, splitting its reports and crossing its
    // answers.
    for (const auto& entry : g_openedDeviceMap) {
        // The same path may name another reader by now (its own one was
        // unplugged): the device decides, the text only when it is unknown.
        if (device.empty() ? entry.path == target : entry.device == device) {
            return 0;
        }
    }
    std::shared_ptr<Strivo> reader = openShared(target, device, row);
    if (!reader) {
        debugLog("open %s: failed", target.c_str());
        return 0;
    }
    OpenedReader entry;
    entry.handle = m_nextHandle++;
    entry.path = target;
    entry.device = std::move(device);
    entry.reader = reader;
    entry.delegate = std::make_unique<LocalDelegateEx>();
    entry.delegate->setHandle(entry.handle);
    entry.commands = CallbackQueue::create(std::chrono::milliseconds(0));
    reader->clear();
    reader->setDelegate(entry.delegate.get());
    localDelegate().OnDeviceChange(reader.get(), ZEDRA_STATE_CONNECTED);
    const unsigned long handle = entry.handle;
    g_openedDeviceMap.push_back(std::move(entry));
    updateCallbackThreads();
    debugLog("open %s: handle %lu", target.c_str(), handle);
    return handle;
}

void ReaderSession::closeEx(unsigned long handle) {
    if (handle == 0 || LibraryState::closed()) {
        return;
    }
    OpenedReader entry;
    std::shared_ptr<ClosingReader> closing;
    {
        UniqueLock lock(m_lock);
        pruneClosing();
        for (auto it = g_openedDeviceMap.begin(); it != g_openedDeviceMap.end(); ++it) {
            if (it->handle == handle) {
                entry = std::move(*it);
                g_openedDeviceMap.erase(it);
                break;
            }
        }
        if (entry.reader) {
            closing = std::make_shared<ClosingReader>();
            closing->handle = handle;
            closing->callbacks = entry.delegate->callbacks();
            m_closing.push_back(closing);
        } else {
            // Unknown, or being closed by another thread, or closed from
            // inside a callback that still runs: wait as that close does.
            for (const auto& other : m_closing) {
                if (other->handle == handle) {
                    closing = other;
                    break;
                }
            }
            if (!closing) {
                return;
            }
            m_stopped.wait(lock.native(), [&]() REQUIRES(m_lock) { return closing->stopped; });
        }
    }
    if (!entry.reader) {
        closing->callbacks->drain();
        return;
    }
    debugLog("close handle %lu", handle);
    try {
        // An Ex close reports nothing to its own delegate.
        shutDown(entry.reader, entry.commands, nullptr, entry.delegate->callbacks(), true);
    } catch (...) {
    }
    {
        MutexLock guard(m_lock);
        closing->stopped = true;
    }
    m_stopped.notify_all();
    closing->callbacks->drain();
    entry.delegate.reset();
    entry.reader.reset();
    CallbackWorkers::instance().trimIdle();
    MutexLock guard(m_lock);
    updateCallbackThreads();
}

void ReaderSession::pruneClosing() {
    m_closing.erase(std::remove_if(m_closing.begin(), m_closing.end(),
                                   [](const std::shared_ptr<ClosingReader>& c) {
                                       return c->stopped && c->callbacks->pending() == 0;
                                   }),
                    m_closing.end());
}

bool ReaderSession::waitIdle(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    auto left = [&] {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
            std::max(deadline - std::chrono::steady_clock::now(),
                     std::chrono::steady_clock::duration::zero()));
    };
    std::vector<std::shared_ptr<CallbackQueue>> commands;
    std::vector<std::shared_ptr<CallbackQueue>> callbacks;
    {
        MutexLock guard(m_lock);
        if (m_firstCommands) {
            commands.push_back(m_firstCommands);
        }
        for (const auto& entry : g_openedDeviceMap) {
            commands.push_back(entry.commands);
            callbacks.push_back(entry.delegate->callbacks());
        }
        for (const auto& closing : m_closing) {
            callbacks.push_back(closing->callbacks);
        }
    }
    callbacks.push_back(localDelegate().callbacks());
    // Commands first: their answers become callbacks.
    for (const auto& queue : commands) {
        if (!queue->waitEmpty(left())) {
            return false;
        }
    }
    for (const auto& queue : callbacks) {
        if (!queue->waitEmpty(left())) {
            return false;
        }
    }
    return true;
}

const ReaderSession::OpenedReader* ReaderSession::entryOf(unsigned long handle) const {
    if (handle == 0) {
        return nullptr;
    }
    for (const auto& entry : g_openedDeviceMap) {
        if (entry.handle == handle) {
            return &entry;
        }
    }
    return nullptr;
}

std::shared_ptr<Strivo> ReaderSession::find(unsigned long handle) {
    if (LibraryState::closed()) {
        return nullptr;
    }
    MutexLock guard(m_lock);
    const OpenedReader* entry = entryOf(handle);
    return entry != nullptr ? entry->reader : nullptr;
}

std::shared_ptr<CallbackQueue> ReaderSession::commandsOf(unsigned long handle) {
    if (LibraryState::closed()) {
        return nullptr;
    }
    MutexLock guard(m_lock);
    const OpenedReader* entry = entryOf(handle);
    return entry != nullptr ? entry->commands : nullptr;
}

const char* ReaderSession::staticString(const char* s) {
    ResultRing ring(sendCommandResult, SEND_COMMAND_RESULT_SIZE, m_ringIndex,
                    {97, RING_TEXT_MAX, true, 0});
    return ring.copy(s);
}

const char* ReaderSession::keepText(std::string_view s) {
    ThreadTexts& texts = t_texts;
    CardText& slot = texts.slots[texts.next];
    texts.next = (texts.next + 1) % texts.slots.size();
    // Up to a NUL inside, as a C text reads it; nothing of the slot's last
    // text stays behind the new one.
    slot.wipeKeepStorage();
    slot.assign(s.substr(0, s.find('\0')));
    return slot.c_str();
}

const char* ReaderSession::keepRawText(CardText text) {
    MutexLock guard(m_rawTextLock);
    CardText& slot = m_rawTexts[m_rawTextNext];
    m_rawTextNext = (m_rawTextNext + 1) % THREAD_TEXT_SLOTS;
    slot = std::move(text);
    return slot.c_str();
}

void ReaderSession::wipeFirstGenerationTexts() {
    m_cardDataText.wipe();
    m_resultText.wipe();
    {
        MutexLock guard(m_rawTextLock);
        // In place: a pointer the host kept reads "" rather than freed memory.
        for (CardText& text : m_rawTexts) {
            text.wipeKeepStorage();
        }
    }
    if (LocalDelegate* delegate = localDelegateIfMade()) {
        delegate->wipeStaticStrings();
    }
}

void ReaderSession::noteResult(unsigned long handle, int code, int readerCode) {
    for (size_t i = 0; i < t_resultCount; ++i) {
        if (t_results[i].handle == handle) {
            t_results[i].code = code;
            t_results[i].readerCode = readerCode;
            t_results[i].outcome.reset();
            return;
        }
    }
    // The oldest noted handle gives way.
    if (t_resultCount == THREAD_RESULTS) {
        for (size_t i = 1; i < THREAD_RESULTS; ++i) {
            t_results[i - 1] = t_results[i];
        }
        --t_resultCount;
    }
    t_results[t_resultCount++] = ThreadResult{handle, code, readerCode, nullptr};
}

std::shared_ptr<ReaderSession::PendingResult> ReaderSession::notePending(unsigned long handle) {
    auto outcome = std::make_shared<Outcome>();
    outcome->code.store(PENDING);
    noteResult(handle, PENDING);
    for (size_t i = 0; i < t_resultCount; ++i) {
        if (t_results[i].handle == handle) {
            t_results[i].outcome = outcome;
        }
    }
    return std::make_shared<PendingResult>(std::move(outcome));
}

void ReaderSession::PendingResult::set(int code, int readerCode) const {
    // The reader's code first: a thread that sees the result sees it too.
    m_outcome->readerCode.store(readerCode);
    m_outcome->code.store(code);
}

ReaderSession::PendingResult::~PendingResult() {
    int pending = PENDING;
    m_outcome->code.compare_exchange_strong(pending, RC_NOT_OPEN);
}

bool ReaderSession::threadResult(unsigned long handle, int* code, int* readerCode) {
    for (size_t i = 0; i < t_resultCount; ++i) {
        if (t_results[i].handle == handle) {
            const ThreadResult& noted = t_results[i];
            const int result = noted.outcome ? noted.outcome->code.load() : noted.code;
            if (result == PENDING) {
                return false;
            }
            *code = result;
            if (readerCode != nullptr) {
                *readerCode = noted.outcome ? noted.outcome->readerCode.load() : noted.readerCode;
            }
            return true;
        }
    }
    return false;
}

}  // namespace quorin
