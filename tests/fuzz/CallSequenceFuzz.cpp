// Sequences of exported calls and device events against three virtual USB
// readers: opens and closes by path and by handle, stale handles, synchronous
// and asynchronous commands of every generation, swipes, notifications,
// unplugs, commands racing each other or a close, and callbacks that close
// readers. The faults these find live between calls, where the decoder
// fuzzers never look.
//
// The bus, rebuilt for every input: SN1 (plain protocol, 0x11), SN10 (plain
// protocol, 0x13; "SN1" is the start of its serial number) and EMV7 (extended
// protocol, 0x19). Each command carries a sequence number in its data and
// each reader is scripted to answer it with that number, so an answer that
// reaches the wrong caller is seen.
//
// Input: see CallSequenceProgram.h. Every command exchange costs the
// reader's 50 ms write pause,
// so an input runs at most MAX_EXCHANGES of them; operations beyond the
// budget are skipped.
//
// Checked after every step, and at the end of the input:
//  - no callback of a reader starts or runs after its close returned (each
//    open registers its callbacks with a token of its own as Obj);
//  - a closed, a never-issued and the zero handle answer as unknown ones;
//  - handles are never issued twice;
//  - every command's answer reaches its own caller, asynchronous answers in
//    the order their commands were given;
//  - a reader is open at most once through OpenDeviceEx, whatever its name;
//  - reader-change watchers (OnDeviceListChanged): one that was replaced or
//    cleared is never called after that registration returned, two calls
//    never run at once, each reader's changes alternate between arrived and
//    removed, and once things settle every reader is as its last change
//    reported says (or, with none, as when the monitor started);
//  - once everything is closed no device handle is left open and the count
//    of threads returns to what it was before the first input.
// With hostile readers (HOSTILE_READERS), also:
//  - every notification delivered is byte for byte one the reader sent, and
//    every one it sent to a receiver that stayed open was delivered or its
//    loss counted (GetLostDataCountEx), but for one left half collected;
//  - every card text delivered carries the track the reader sent, whole;
//  - no command whose answer the reader refused, cut or never gave, on USB
//    or on a serial line, is reported as a success;
//  - no callback of a serial reader runs after its close.
// The sanitizers of the fuzz build watch everything else.
//
#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "CallSequenceProgram.h"
#include "FuzzInput.h"
#include "FuzzTarget.h"
#include "PtyReader.h"
#include "Quorin.h"
#include "SimulatedSwipe.h"
#include "TestWait.h"
#include "api/CallbackWorkers.h"
#include "api/ReaderSession.h"
#include "virtualhid/ExtendedReader.h"
#include "virtualhid/PlainCommandReader.h"
#include "virtualhid/VirtualHid.h"

using quorin_test::FuzzInput;
using namespace quorin_test::call_sequence;

namespace {

constexpr uint16_t VID = QUORIN_USB_VENDOR_ID;
constexpr int EXTENDED = EMV7;  // the extended-protocol reader
const char* const SERIALS[READERS] = {"SN1", "SN10", "EMV7"};
constexpr uint16_t PIDS[READERS] = {0x11, 0x13, 0x19};

constexpr int MAX_OPERATIONS = 48;
constexpr int MAX_EXCHANGES = 8;
constexpr auto IDLE_WAIT = std::chrono::seconds(10);
// The callback watch may sleep up to a second past its last look.
constexpr auto THREADS_WAIT = std::chrono::milliseconds(5000);

// The command byte of every scripted command, and the first answer byte.
constexpr uint8_t COMMAND = 0x7A;
constexpr uint8_t ANSWER_MARK = 0xA5;
constexpr uint16_t EXTENDED_COMMAND = 0x0A10;

std::string hexOf(const std::vector<uint8_t>& bytes, bool upper) {
    static const char* const digits[2] = {"0123456789abcdef", "0123456789ABCDEF"};
    std::string out;
    for (uint8_t b : bytes) {
        out += digits[upper ? 1 : 0][b >> 4];
        out += digits[upper ? 1 : 0][b & 0x0F];
    }
    return out;
}

// How the device list names reader r ("HID://SN1").
std::string listedName(int r) {
    return std::string("HID://") + SERIALS[r];
}

std::string lower(std::string s) {
    for (char& c : s) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return s;
}

// The tracks of every swipe (of no real card).
const std::string TRACK1 = "%B4000000000000002^TEST/CARD^30121010000000000000?";
const std::string TRACK2 = ";4000000000000002=30121010000000000000?";

// ------------------------------------------------------- hostile readers

// Commands whose answer the readers get wrong, by the sequence number the
// command carries (ANSWER_NEVER, ANSWER_CUT); read on the host's hidapi
// threads.
struct AnswerFaults {
    std::mutex lock;
    std::map<unsigned, int> bySequence;  // guarded by lock

    int of(unsigned sequence) {
        std::lock_guard<std::mutex> guard(lock);
        auto it = bySequence.find(sequence);
        return it != bySequence.end() ? it->second : -1;
    }
    void set(unsigned sequence, int fault) {
        std::lock_guard<std::mutex> guard(lock);
        bySequence[sequence] = fault;
    }
    void clear() {
        std::lock_guard<std::mutex> guard(lock);
        bySequence.clear();
    }
};
AnswerFaults g_answerFaults;

// The answer frame of a command with this fault: none (the read fails), or
// cut to half its data (lengthAt: where its length byte is).
quorin_sim::Report faultyAnswer(quorin_sim::Report answer, int fault, size_t lengthAt) {
    if (fault == ANSWER_NEVER) {
        return {};
    }
    if (fault == ANSWER_CUT && answer.size() > lengthAt) {
        answer.resize(lengthAt + 1 + answer[lengthAt] / 2);
    }
    return answer;
}

// The sequence number of a scripted command's data {reader, hi, lo}.
unsigned sequenceOf(const std::vector<uint8_t>& data) {
    return data.size() == 3 ? (static_cast<unsigned>(data[1]) << 8) | data[2] : 0;
}

// The data of the last command a model received, when it was a scripted
// command (COMMAND, then {reader, seq hi, seq lo}).
bool lastScripted(const quorin_sim::PlainCommandReader& model, std::vector<uint8_t>* data) {
    const auto sent = model.commands();
    if (sent.empty() || sent.back().empty() || sent.back()[0] != COMMAND) {
        return false;
    }
    data->assign(sent.back().begin() + 1, sent.back().end());
    return true;
}
bool lastScripted(const quorin_sim::ExtendedReader& model, std::vector<uint8_t>* data) {
    const auto sent = model.commands();
    if (sent.empty() || sent.back().extended || sent.back().id != COMMAND) {
        return false;
    }
    *data = sent.back().data;
    return true;
}

// A reader model whose answers to the commands marked in g_answerFaults go
// wrong; LENGTH_AT: where the length byte of its answer frame is (plain
// reader: result | n | data; extended reader: 01 | result | n | data).
template <class Model, size_t LENGTH_AT>
class Faulty : public Model {
public:
    using Model::Model;
    quorin_sim::Report onGetFeature(uint8_t reportId) override {
        quorin_sim::Report answer = Model::onGetFeature(reportId);
        std::vector<uint8_t> data;
        const int fault = lastScripted(*this, &data) ? g_answerFaults.of(sequenceOf(data)) : -1;
        return fault < 0 ? answer : faultyAnswer(answer, fault, LENGTH_AT);
    }
};
using FaultyPlainReader = Faulty<quorin_sim::PlainCommandReader, 1>;
using FaultyExtendedReader = Faulty<quorin_sim::ExtendedReader, 2>;

// ------------------------------------------------------------------ model

// One registration of a reader-change watcher; its address is the Obj.
struct Watcher {
    int mode = WATCH_RECORD;
    // Set once the registration that replaced or cleared it returned.
    std::atomic<bool> retired{false};
    std::atomic<bool> acted{false};
};

// One OpenDeviceEx that returned a handle. Its address is the Obj of every
// callback registered for it; tokens live until the end of the input, after
// everything was closed and went idle.
struct Token {
    unsigned long handle = 0;
    int reader = 0;
    int index = 0;
    // What its callbacks do, once (Action).
    int action = 0;
    std::atomic<bool> actionTaken{false};
    // Set right before a CloseDeviceEx of this handle, and right after one
    // returned. A command that meets a closing handle may fail.
    std::atomic<bool> closing{false};
    std::atomic<bool> closed{false};
    std::atomic<int> inCallback{0};
    // The reader was unplugged while this handle was open: an exchange may
    // fail (an empty answer, no callback), but never brings another
    // command's answer.
    std::atomic<bool> degraded{false};
    // Its callbacks are registered (answers then reach onResponseEx).
    std::atomic<bool> listening{false};
    std::mutex lock;                  // guards pending and notified
    std::deque<std::string> pending;  // asynchronous answers due, in order
    // Which of the notifications sent (State::sent) it was given, and from
    // where on, and its lost-data count, since its callbacks were registered.
    std::vector<char> notified;
    size_t sentFrom = 0;
    unsigned long lostAtStart = 0;
    std::atomic<bool> everUnregistered{false};
};

struct State {
    std::shared_ptr<quorin_sim::VirtualReader> readers[READERS];
    std::shared_ptr<quorin_sim::PlainCommandReader> plain[2];
    std::shared_ptr<quorin_sim::ExtendedReader> extended;
    bool plugged[READERS] = {true, true, true};
    bool everUnplugged[READERS] = {false, false, false};

    std::mutex tokensLock;  // guards tokens (callbacks look tokens up)
    std::vector<std::unique_ptr<Token>> tokens;
    std::vector<unsigned long> closedHandles;

    // The first-generation reader.
    std::atomic<bool> firstOpen{false};
    std::atomic<int> firstReader{-1};
    std::atomic<int> firstInCallback{0};
    std::atomic<bool> firstDegraded{false};
    // A first-generation callback closes the reader: commands of the first
    // generation may then meet a closed reader at any moment.
    std::atomic<bool> firstCloseArmed{false};
    std::atomic<bool> firstCloseTaken{false};
    std::atomic<bool> firstCloseDone{false};
    std::mutex firstLock;                  // guards firstPending and firstNotified
    std::deque<std::string> firstPending;  // SendData answers due
    std::vector<char> firstNotified;       // as Token::notified, from the open on
    size_t firstSentFrom = 0;
    unsigned long firstLostAtStart = 0;

    // Every notification the extended reader sent (at least one packet of
    // it), as message id and upper-case hex. A receiver may be left holding
    // the last one half collected (its last packet never came): it reports
    // that loss only when the next one starts.
    std::mutex sentLock;
    std::vector<std::pair<unsigned, std::string>> sent;  // guarded by sentLock
    bool tailPending = false;                            // operations' thread
    unsigned swipes = 0;                                 // operations' thread

    std::atomic<int> exchanges{0};
    std::atomic<unsigned> sequence{0};

    // Whether this input registers reader-change watchers at all, has the
    // first generation's notification callback, lets readers misbehave.
    bool watched = false;
    bool notifyFirst = false;
    bool hostile = false;
    // Reader-change watchers. registerLock serializes registrations: the
    // operations take it, a watcher's own callback only tries it (a thread
    // registering waits for the callback, which must not wait for it).
    std::mutex registerLock;
    std::vector<std::unique_ptr<Watcher>> watchers;  // guarded by registerLock
    std::mutex watchLock;
    Watcher* watching = nullptr;             // guarded by watchLock
    std::map<std::string, long> lastChange;  // guarded by watchLock
    // Which readers were plugged when the watching monitor started: it
    // reports changes against its own listing of that moment, so a reader
    // that came and went again meanwhile may never be reported.
    bool pluggedAtStart[READERS] = {};  // guarded by watchLock
    std::atomic<int> inWatch{0};
    // Odd while a watcher holds a reader open (it opens and closes it in its
    // callback): an Ex open may be refused meanwhile. Any reader: the name of
    // one that left again is the start of another's ("HID://SN1", SN10).
    std::atomic<unsigned> watcherHolds{0};
};

State* g_state = nullptr;
unsigned long g_highestHandle = 0;
// The highest handle a reader-change watcher was given (its opens are not
// tokens).
std::atomic<unsigned long> g_watcherHighestHandle{0};
// Handles a watcher may still be given while an operation checks one that
// was never issued: it opens at most one per reader that arrives.
constexpr unsigned long WATCHER_HANDLE_MARGIN = 1000;
int g_idleThreads = -1;
thread_local Token* t_callbackToken = nullptr;
thread_local bool t_inFirstCallback = false;

bool takeExchange(int cost = 1) {
    if (g_state->exchanges.fetch_add(cost) + cost > MAX_EXCHANGES) {
        g_state->exchanges.fetch_sub(cost);
        return false;
    }
    return true;
}

// A command unique in this input, scripted on its reader; returns the data
// bytes of the command (after the command byte) and sets the expected answer.
struct Scripted {
    std::vector<uint8_t> data;
    std::vector<uint8_t> answer;
};

Scripted scriptCommand(int reader) {
    const unsigned seq = g_state->sequence.fetch_add(1) + 1;
    Scripted s;
    s.data = {static_cast<uint8_t>(reader), static_cast<uint8_t>(seq >> 8),
              static_cast<uint8_t>(seq)};
    s.answer = {ANSWER_MARK, static_cast<uint8_t>(reader), static_cast<uint8_t>(seq >> 8),
                static_cast<uint8_t>(seq)};
    const std::string key = hexOf({COMMAND}, true) + hexOf(s.data, true);
    if (reader == EXTENDED) {
        FUZZ_CHECK(g_state->extended->setAnswer(key, 0, s.answer));
    } else {
        FUZZ_CHECK(g_state->plain[reader]->setAnswer(key, 0, s.answer));
    }
    return s;
}

// An extended command ("0A10:" + data) with its own answer (extended reader).
Scripted scriptExtended() {
    const unsigned seq = g_state->sequence.fetch_add(1) + 1;
    Scripted s;
    s.data = {static_cast<uint8_t>(seq >> 8), static_cast<uint8_t>(seq)};
    s.answer = {ANSWER_MARK, 0xEE, static_cast<uint8_t>(seq >> 8), static_cast<uint8_t>(seq)};
    char id[8];
    std::snprintf(id, sizeof(id), "%04X:", EXTENDED_COMMAND);
    FUZZ_CHECK(g_state->extended->setAnswer(id + hexOf(s.data, true), 0, s.answer));
    return s;
}

std::string plainText(const Scripted& s) {
    return hexOf({COMMAND}, true) + hexOf(s.data, true);
}
std::string withLengthText(const Scripted& s) {
    return hexOf({COMMAND, static_cast<uint8_t>(s.data.size())}, true) + hexOf(s.data, true);
}
// What an asynchronous command's callback receives for a plain answer:
// result, length and data, lower-case.
std::string workerAnswer(const Scripted& s) {
    std::vector<uint8_t> bytes = {0x00, static_cast<uint8_t>(s.answer.size())};
    bytes.insert(bytes.end(), s.answer.begin(), s.answer.end());
    return hexOf(bytes, false);
}

Token* tokenAt(size_t i) {
    std::lock_guard<std::mutex> guard(g_state->tokensLock);
    return i < g_state->tokens.size() ? g_state->tokens[i].get() : nullptr;
}

size_t tokenCount() {
    std::lock_guard<std::mutex> guard(g_state->tokensLock);
    return g_state->tokens.size();
}

Token* openTokenOf(int reader) {
    std::lock_guard<std::mutex> guard(g_state->tokensLock);
    for (auto& t : g_state->tokens) {
        if (t->reader == reader && !t->closed.load()) {
            return t.get();
        }
    }
    return nullptr;
}

// ------------------------------------------------------------ invariants

// Every call on a handle that is not open answers as for an unknown one.
void checkUnknown(unsigned long handle) {
    FUZZ_CHECK(IsDeviceConnectedEx(handle) == 0);
    FUZZ_CHECK(GetProductIDEx(handle) == 0);
    FUZZ_CHECK(std::strcmp(GetCardDataEx(handle), "") == 0);
    FUZZ_CHECK(std::strcmp(GetRawData(handle), "") == 0 || handle == 0);
    ZDMSRDATA msr;
    FUZZ_CHECK(GetCardDataStructureEx(handle, &msr) == 6);
    if (handle != 0) {
        FUZZ_CHECK(GetDroppedCallbackCountEx(handle) == 0);
    }
    // Refused before anything is sent: no exchange, no callback.
    FUZZ_CHECK(std::strcmp(SendCommandEx(handle, "7A00"), "") == 0);
    FUZZ_CHECK(GetResultCodeEx(handle) == 5);
    FUZZ_CHECK(std::strcmp(SendCommandWithLengthEx(handle, "7A0100"), "") == 0);
    FUZZ_CHECK(GetResultCodeEx(handle) == 5);
    FUZZ_CHECK(SendDataEx(handle, "7A0100") == 0);
    ClearCardDataEx(handle);
    CloseDeviceEx(handle);
}

// Right after a close of token t returned on this thread: no callback of it
// runs but the one this thread may be in.
void markClosed(Token* t) {
    t->closed.store(true);
    const int own = t_callbackToken == t ? 1 : 0;
    FUZZ_CHECK(t->inCallback.load() <= own);
    checkUnknown(t->handle);
}

void markFirstClosed() {
    g_state->firstOpen.store(false);
    const int own = t_inFirstCallback ? 1 : 0;
    FUZZ_CHECK(g_state->firstInCallback.load() <= own);
}

void closeToken(Token* t) {
    t->closing.store(true);
    CloseDeviceEx(t->handle);
    markClosed(t);
}

// ------------------------------------------------------------- callbacks

// An asynchronous answer must be the one of the oldest command due; when the
// reader was unplugged, commands before it may have failed silently.
void takeAnswer(std::deque<std::string>& pending, const char* text, bool degraded) {
    auto it = std::find(pending.begin(), pending.end(), std::string(text));
    FUZZ_CHECK(it != pending.end());
    FUZZ_CHECK(it == pending.begin() || degraded);
    pending.erase(pending.begin(), it + 1);
}

// Entered at the start of every Ex callback: the token must be one of this
// input, for its own handle, and not closed.
struct ExCallback {
    Token* token;
    Token* saved;
    ExCallback(unsigned long handle, void* obj) : token(static_cast<Token*>(obj)) {
        FUZZ_CHECK(token != nullptr);
        token->inCallback.fetch_add(1);
        FUZZ_CHECK(!token->closed.load());
        FUZZ_CHECK(token->handle == handle);
        saved = t_callbackToken;
        t_callbackToken = token;
    }
    ~ExCallback() {
        t_callbackToken = saved;
        token->inCallback.fetch_sub(1);
    }
};

void registerEx(Token* t, bool on);

void runAction(Token* t) {
    if (t->action == ACT_NONE || t->actionTaken.exchange(true)) {
        return;
    }
    switch (t->action) {
        case ACT_CLOSE_SELF:
            closeToken(t);
            break;
        case ACT_CLOSE_LATER: {
            for (size_t i = static_cast<size_t>(t->index) + 1; Token* later = tokenAt(i); ++i) {
                if (!later->closed.load()) {
                    closeToken(later);
                    break;
                }
            }
            break;
        }
        case ACT_COMMAND: {
            if (!takeExchange()) {
                break;
            }
            Scripted s = scriptCommand(t->reader);
            const std::string answer = SendCommandEx(t->handle, plainText(s).c_str());
            FUZZ_CHECK(answer == hexOf(s.answer, true) ||
                       (answer.empty() && (t->degraded.load() || t->closing.load())));
            break;
        }
        case ACT_UNREGISTER:
            registerEx(t, false);
            break;
    }
}

// A card text carries the track the reader sent, whole: in clear, or masked
// as the reader masks it (never a cut or garbled one).
void checkCardText(const char* text) {
    FUZZ_CHECK(text != nullptr && std::strlen(text) < 64 * 1024);
    static const std::string masked = quorin_sim::SimulatedSwipe::mask(TRACK2);
    const std::string card = text;
    FUZZ_CHECK(card.find(TRACK2) != std::string::npos || card.find(masked) != std::string::npos);
}

// A delivered notification is one the reader sent, byte for byte; notified
// marks which (the receiver's lock held).
void noteNotification(std::vector<char>& notified, unsigned id, const char* text) {
    FUZZ_CHECK(text != nullptr);
    std::lock_guard<std::mutex> guard(g_state->sentLock);
    const auto& sent = g_state->sent;
    notified.resize(sent.size());
    for (size_t i = 0; i < sent.size(); ++i) {
        if (notified[i] == 0 && sent[i].first == id && sent[i].second == text) {
            notified[i] = 1;
            return;
        }
    }
    quorin_test::fuzzCheckFailed("a notification the reader never sent was delivered", __FILE__,
                                 __LINE__);
}

void onCardDataEx(unsigned long handle, void* obj, const char* text) {
    ExCallback in(handle, obj);
    checkCardText(text);
    runAction(in.token);
}

void onConnectionEx(unsigned long handle, void* obj, long state) {
    ExCallback in(handle, obj);
    FUZZ_CHECK(state == ZEDRA_STATE_CONNECTED || state == ZEDRA_STATE_DISCONNECTED);
    runAction(in.token);
}

void onNotificationEx(unsigned long handle, void* obj, unsigned int id, const char* text) {
    ExCallback in(handle, obj);
    FUZZ_CHECK(text != nullptr && std::strlen(text) <= 2 * 0xFFFF);
    if (in.token->reader == EXTENDED) {
        std::lock_guard<std::mutex> guard(in.token->lock);
        noteNotification(in.token->notified, id, text);
    }
    runAction(in.token);
}

void onResponseEx(unsigned long handle, void* obj, const char* text) {
    ExCallback in(handle, obj);
    FUZZ_CHECK(text != nullptr);
    Token* t = in.token;
    {
        std::lock_guard<std::mutex> guard(t->lock);
        takeAnswer(t->pending, text, t->degraded.load());
    }
    runAction(t);
}

void onErrorEx(unsigned long handle, void* obj, const char* text) {
    // On the receiving thread: checks only, and never a close.
    Token* t = static_cast<Token*>(obj);
    FUZZ_CHECK(t != nullptr && t->handle == handle && !t->closed.load());
    FUZZ_CHECK(text != nullptr);
}

void registerEx(Token* t, bool on) {
    if (on) {
        t->lostAtStart = GetLostDataCountEx(t->handle);
        std::lock_guard<std::mutex> guard(g_state->sentLock);
        t->sentFrom = g_state->sent.size();
    } else {
        t->everUnregistered.store(true);
    }
    t->listening.store(on);
    OnDataReceivedEx(t->handle, on ? onCardDataEx : nullptr, t);
    OnDeviceConnectionStateChangedEx(t->handle, on ? onConnectionEx : nullptr, t);
    OnNotificationDataEx(t->handle, on ? onNotificationEx : nullptr, t);
    OnDeviceResponseEx(t->handle, on ? onResponseEx : nullptr, t);
    OnErrorEx(t->handle, on ? onErrorEx : nullptr, t);
}

// Registered on a handle that is not open: must never be called.
void neverCalled(unsigned long, void*, const char*) {
    quorin_test::fuzzCheckFailed("a callback registered on an unknown handle ran", __FILE__,
                                 __LINE__);
}

// First-generation callbacks: no Obj, so they check the reader is open.
struct FirstCallback {
    bool saved;
    FirstCallback() {
        g_state->firstInCallback.fetch_add(1);
        FUZZ_CHECK(g_state->firstOpen.load());
        saved = t_inFirstCallback;
        t_inFirstCallback = true;
    }
    ~FirstCallback() {
        t_inFirstCallback = saved;
        g_state->firstInCallback.fetch_sub(1);
    }
};

void firstAction() {
    if (g_state->firstCloseArmed.load() && !g_state->firstCloseTaken.exchange(true)) {
        CloseDevice();
        markFirstClosed();
        g_state->firstCloseDone.store(true);
    }
}

// Card data and extended responses.
void onFirstText(const char* text) {
    FirstCallback in;
    FUZZ_CHECK(text != nullptr);
    firstAction();
}

void onResponse(const char* text) {
    FirstCallback in;
    FUZZ_CHECK(text != nullptr);
    {
        std::lock_guard<std::mutex> guard(g_state->firstLock);
        takeAnswer(g_state->firstPending, text, g_state->firstDegraded.load());
    }
    firstAction();
}

void onFirstCard(const char* text) {
    FirstCallback in;
    checkCardText(text);
    firstAction();
}

void onNotification(unsigned int id, const char* text) {
    if (g_state->firstReader == EXTENDED) {
        std::lock_guard<std::mutex> guard(g_state->firstLock);
        noteNotification(g_state->firstNotified, id, text);
    }
    onFirstText(text);
}

// The connection state of the first generation also changes on Ex opens and
// unplugs, whether or not a first-generation reader is open.
void onFirstConnection(long state) {
    FUZZ_CHECK(state == ZEDRA_STATE_CONNECTED || state == ZEDRA_STATE_DISCONNECTED);
}

// ------------------------------------------------------- reader watchers

void onWatch(void* obj, const char* path, long change);

// Registers a watcher of this mode in place of the current one (registerLock
// held by the caller, who may be a watcher's own callback).
void registerWatcherLocked(int mode) {
    State& s = *g_state;
    s.watchers.push_back(std::make_unique<Watcher>());
    Watcher* w = s.watchers.back().get();
    w->mode = mode;
    Watcher* old;
    {
        std::lock_guard<std::mutex> guard(s.watchLock);
        old = s.watching;
        if (old == nullptr) {
            // A new monitor: it reports changes from its own listing on.
            // Only the operations' thread starts one (a watcher replacing
            // itself keeps the monitor), and only it plugs: the bus is still.
            s.lastChange.clear();
            std::copy(std::begin(s.plugged), std::end(s.plugged), std::begin(s.pluggedAtStart));
        }
        s.watching = w;
    }
    FUZZ_CHECK(OnDeviceListChanged(onWatch, w) == 0);
    if (old != nullptr) {
        old->retired.store(true);
    }
}

void clearWatcherLocked() {
    State& s = *g_state;
    Watcher* old;
    {
        std::lock_guard<std::mutex> guard(s.watchLock);
        old = s.watching;
        s.watching = nullptr;
    }
    FUZZ_CHECK(OnDeviceListChanged(nullptr, nullptr) == 0);
    if (old != nullptr) {
        old->retired.store(true);
    }
}

int readerListedAs(const std::string& path) {
    for (int r = 0; r < READERS; ++r) {
        if (path == listedName(r)) {
            return r;
        }
    }
    return -1;
}

// A watcher opens the reader that arrived and closes it again, from inside
// its callback, while the operations go on.
void watcherOpens(int reader, const char* path) {
    State& s = *g_state;
    if (reader < 0 || (reader == EXTENDED && !takeExchange())) {
        return;
    }
    s.watcherHolds.fetch_add(1);
    const unsigned long h = OpenDeviceEx(path);
    if (h != 0) {
        unsigned long seen = g_watcherHighestHandle.load();
        while (h > seen && !g_watcherHighestHandle.compare_exchange_weak(seen, h)) {
        }
        const long pid = GetProductIDEx(h);
        FUZZ_CHECK(std::find(std::begin(PIDS), std::end(PIDS), pid) != std::end(PIDS));
        CloseDeviceEx(h);
        FUZZ_CHECK(IsDeviceConnectedEx(h) == 0);
    }
    s.watcherHolds.fetch_add(1);
}

void onWatch(void* obj, const char* path, long change) {
    State& s = *g_state;
    auto* w = static_cast<Watcher*>(obj);
    FUZZ_CHECK(w != nullptr && path != nullptr);
    FUZZ_CHECK(s.inWatch.fetch_add(1) == 0);  // never two at once
    FUZZ_CHECK(!w->retired.load());
    FUZZ_CHECK(change == ZEDRA_DEVICE_ARRIVED || change == ZEDRA_DEVICE_REMOVED);
    const int reader = readerListedAs(path);
    FUZZ_CHECK(reader >= 0);  // only the bus's readers are ever listed
    {
        std::lock_guard<std::mutex> guard(s.watchLock);
        auto it = s.lastChange.find(path);
        FUZZ_CHECK(it == s.lastChange.end() || it->second != change);
        s.lastChange[path] = change;
    }
    if (w->mode == WATCH_OPEN && change == ZEDRA_DEVICE_ARRIVED) {
        watcherOpens(reader, path);
    } else if ((w->mode == WATCH_CLEAR_SELF || w->mode == WATCH_REPLACE_SELF) &&
               !w->acted.exchange(true)) {
        std::unique_lock<std::mutex> registering(s.registerLock, std::try_to_lock);
        if (registering.owns_lock()) {
            if (w->mode == WATCH_CLEAR_SELF) {
                clearWatcherLocked();
            } else {
                registerWatcherLocked(WATCH_RECORD);
            }
        }
    }
    s.inWatch.fetch_sub(1);
}

void opWatch(FuzzInput& in) {
    State& s = *g_state;
    const int mode = in.u8() % WATCH_MODES;
    std::lock_guard<std::mutex> registering(s.registerLock);
    if (mode == WATCH_CLEAR) {
        clearWatcherLocked();
    } else {
        registerWatcherLocked(mode);
    }
}

// Once the bus is still, every reader is as the changes reported say: as
// its last change, or with none, as when the monitor started (unless the
// watcher cleared itself meanwhile).
void checkWatchersCaughtUp() {
    State& s = *g_state;
    for (int r = 0; r < READERS; ++r) {
        const long now = s.plugged[r] ? ZEDRA_DEVICE_ARRIVED : ZEDRA_DEVICE_REMOVED;
        const std::string path = listedName(r);
        FUZZ_CHECK(quorin_test::waitUntil(
            [&] {
                std::lock_guard<std::mutex> guard(s.watchLock);
                if (s.watching == nullptr) {
                    return true;
                }
                auto it = s.lastChange.find(path);
                const long atStart =
                    s.pluggedAtStart[r] ? ZEDRA_DEVICE_ARRIVED : ZEDRA_DEVICE_REMOVED;
                const long reported = it != s.lastChange.end() ? it->second : atStart;
                return reported == now;
            },
            std::chrono::duration_cast<std::chrono::milliseconds>(IDLE_WAIT)));
    }
}

// ------------------------------------------------------------ name model

struct Name {
    std::string text;
    bool null = false;
};

// Names the operations open readers by: listed ones, other letter case,
// system paths, starts of serial numbers, and names of nothing.
Name nameOf(uint8_t choice) {
    State& s = *g_state;
    const int r = choice % READERS;
    switch ((choice / READERS) % NAME_KINDS) {
        case LISTED:
            return {listedName(r)};
        case LOWER_CASE:
            return {lower(listedName(r))};
        case SYSTEM_PATH:
            return {"HID://" + s.readers[r]->path()};
        case START:
            return {r == EXTENDED ? "HID://EM" : "HID://SN"};
        case FIRST_LISTED:
            return {"", choice % 2 == 0};
        case NOTHING:
            return {"HID://NOSUCH"};
        case LOWER_SCHEME:
            return {"hid://" + std::string(SERIALS[r])};
        default:
            return {listedName(r) + "0"};
    }
}

bool iequals(const std::string& a, const std::string& b) {
    return lower(a) == lower(b);
}

bool istarts(const std::string& text, const std::string& start) {
    return text.size() >= start.size() && iequals(text.substr(0, start.size()), start);
}

// The reader an Ex open of this name reaches, or -1: an exact serial number,
// then an exact path (same case first), else the one reader whose serial
// number or path starts with the name.
int resolveEx(const Name& name) {
    State& s = *g_state;
    if (name.null || name.text.empty()) {
        for (int r = 0; r < READERS; ++r) {
            if (s.plugged[r]) {
                return r;
            }
        }
        return -1;
    }
    if (!istarts(name.text, "HID://") || name.text.size() == 6) {
        return -1;
    }
    const std::string rest = name.text.substr(6);
    for (bool sameCase : {true, false}) {
        for (int field = 0; field < 2; ++field) {
            for (int r = 0; r < READERS; ++r) {
                const std::string text = field == 0 ? SERIALS[r] : s.readers[r]->path();
                if (s.plugged[r] && (sameCase ? text == rest : iequals(text, rest))) {
                    return r;
                }
            }
        }
    }
    int found = -1;
    for (int r = 0; r < READERS; ++r) {
        if (s.plugged[r] && (istarts(SERIALS[r], rest) || istarts(s.readers[r]->path(), rest))) {
            if (found >= 0) {
                return -1;
            }
            found = r;
        }
    }
    return found;
}

// The reader a first-generation open of this name reaches: a name that does
// not start with "HID://" is opened as given; any other, the listed reader of
// that name, else the last listed reader.
int resolveFirst(const Name& name) {
    State& s = *g_state;
    if (!name.null && !name.text.empty() && name.text.compare(0, 6, "HID://") != 0) {
        return resolveEx(name);
    }
    int last = -1;
    for (int r = 0; r < READERS; ++r) {
        if (!s.plugged[r]) {
            continue;
        }
        if (!name.null && name.text == listedName(r)) {
            return r;
        }
        last = r;
    }
    return last;
}

// ------------------------------------------------------------ operations

// The reader's open connections may fail their exchanges from now on.
void markDegraded(int reader) {
    if (Token* t = openTokenOf(reader)) {
        t->degraded.store(true);
    }
    if (g_state->firstOpen.load() && g_state->firstReader == reader) {
        g_state->firstDegraded.store(true);
    }
}

// Pulls the reader out. Its open connections are marked first: the unplug
// reaches their callbacks at once, and a command one of them sends then
// fails before this thread could mark anything afterwards.
void unplugReader(int r) {
    State& s = *g_state;
    markDegraded(r);
    s.plugged[r] = false;
    s.everUnplugged[r] = true;
    s.readers[r]->unplug();
}

void opOpenEx(FuzzInput& in) {
    State& s = *g_state;
    const Name name = nameOf(in.u8());
    const uint8_t behaviour = in.u8();
    const int reader = resolveEx(name);
    const bool extended = reader == EXTENDED;
    // Opening the extended reader runs a handshake exchange.
    if (extended && !takeExchange()) {
        return;
    }
    Token* holder = reader >= 0 ? openTokenOf(reader) : nullptr;
    const unsigned watcherBefore = s.watcherHolds.load();
    const unsigned long h = OpenDeviceEx(name.null ? nullptr : name.text.c_str());
    // A callback may be closing the reader meanwhile.
    const bool holderLeaving = holder != nullptr && holder->closing.load();
    // A reader-change watcher may have held it open meanwhile.
    const bool watcherHeld = watcherBefore % 2 == 1 || s.watcherHolds.load() != watcherBefore;
    if (reader < 0 || (holder != nullptr && !holderLeaving)) {
        // Nothing by that name, or the reader is open already, by whatever
        // name: refused.
        FUZZ_CHECK(h == 0);
        return;
    }
    if (h == 0) {
        FUZZ_CHECK(holderLeaving || watcherHeld);
        return;
    }
    FUZZ_CHECK(h > g_highestHandle);  // never issued before
    g_highestHandle = h;
    FUZZ_CHECK(IsDeviceConnectedEx(h) == 1);
    FUZZ_CHECK(GetProductIDEx(h) == PIDS[reader]);
    auto token = std::make_unique<Token>();
    token->handle = h;
    token->reader = reader;
    token->action = (behaviour & ~NO_CALLBACKS) % ACT_COUNT;
    Token* t = token.get();
    {
        std::lock_guard<std::mutex> guard(s.tokensLock);
        t->index = static_cast<int>(s.tokens.size());
        s.tokens.push_back(std::move(token));
    }
    if ((behaviour & NO_CALLBACKS) == 0) {
        registerEx(t, true);
    }
}

Token* pickToken(FuzzInput& in) {
    const size_t n = tokenCount();
    return n == 0 ? nullptr : tokenAt(in.u8() % n);
}

void opCloseEx(FuzzInput& in) {
    if (Token* t = pickToken(in)) {
        closeToken(t);
    }
}

void opStale(FuzzInput& in) {
    State& s = *g_state;
    const uint8_t choice = in.u8();
    unsigned long handle;
    switch (choice % 4) {
        case 0:
            handle = 0;
            break;
        case 1:
            // Not issued yet, nor about to be given to a watcher.
            handle = std::max(g_highestHandle, g_watcherHighestHandle.load()) + 1 + choice / 4 +
                     (s.watched ? WATCHER_HANDLE_MARGIN : 0);
            break;
        case 2:
            handle = ULONG_MAX - choice / 4;
            break;
        default: {
            std::vector<unsigned long> closed;
            {
                std::lock_guard<std::mutex> guard(s.tokensLock);
                for (auto& t : s.tokens) {
                    if (t->closed.load()) {
                        closed.push_back(t->handle);
                    }
                }
            }
            closed.insert(closed.end(), s.closedHandles.begin(), s.closedHandles.end());
            if (closed.empty()) {
                return;
            }
            handle = closed[(choice / 4) % closed.size()];
            break;
        }
    }
    OnDeviceResponseEx(handle, neverCalled, nullptr);
    OnErrorEx(handle, neverCalled, nullptr);
    checkUnknown(handle);
}

// A synchronous command on an Ex handle, in one of its forms.
void exCommand(Token* t, uint8_t form) {
    const bool open = !t->closed.load();
    if (open && !takeExchange()) {
        return;
    }
    std::string expected;
    std::string got;
    if (form % 3 == 2 && t->reader == EXTENDED) {
        Scripted s = scriptExtended();
        char id[8];
        std::snprintf(id, sizeof(id), "%04X:", EXTENDED_COMMAND);
        expected = hexOf(s.answer, true);
        got = SendCommandEx(t->handle, (id + hexOf(s.data, true)).c_str());
    } else {
        Scripted s = scriptCommand(t->reader);
        expected = hexOf(s.answer, true);
        got = form % 3 == 1 ? SendCommandWithLengthEx(t->handle, withLengthText(s).c_str())
                            : SendCommandEx(t->handle, plainText(s).c_str());
    }
    const int code = GetResultCodeEx(t->handle);
    if (!open) {
        FUZZ_CHECK(got.empty());
        FUZZ_CHECK(code == 5);
        return;
    }
    if (t->degraded.load() || t->closing.load()) {
        // Unplugged, or closed by another thread while it ran.
        FUZZ_CHECK(got == expected || got.empty());
    } else {
        if (got != expected) {
            std::fprintf(stderr, "handle %lu reader %d: answer \"%s\", expected \"%s\", code %d\n",
                         t->handle, t->reader, got.c_str(), expected.c_str(), code);
        }
        FUZZ_CHECK(got == expected);
        FUZZ_CHECK(code == 0);
    }
}

// A synchronous command of the first or plain generation.
void firstCommand(uint8_t form) {
    State& s = *g_state;
    const int reader = s.firstReader;
    const bool open = s.firstOpen.load();
    if (open && !takeExchange()) {
        return;
    }
    // The answer of a reader that is not open is never scripted: a command
    // that reaches no reader gets none.
    Scripted c = scriptCommand(reader >= 0 ? reader : 0);
    const std::string expected = hexOf(c.answer, true);
    std::string got;
    long rc = 0;
    switch (form % 4) {
        case 0: {
            std::string cmd = plainText(c);
            char result[64] = {};
            rc = QuorinSendCommand(&cmd[0], static_cast<long>(cmd.size()), result, sizeof(result));
            got = rc == 0 ? result : "";
            break;
        }
        case 1: {
            std::string cmd = withLengthText(c);
            char result[64] = {};
            rc = QuorinSendCommandWithLength(&cmd[0], static_cast<long>(cmd.size()), result,
                                             sizeof(result));
            got = rc == 0 ? result : "";
            break;
        }
        case 2:
            got = SendCommand(plainText(c).c_str());
            rc = GetResultCode();
            break;
        default:
            got = SendCommandWithLength(withLengthText(c).c_str());
            rc = GetResultCode();
            break;
    }
    if (!open) {
        FUZZ_CHECK(got.empty());
        return;
    }
    if (s.firstDegraded.load() || s.firstCloseArmed.load() || !s.firstOpen.load()) {
        FUZZ_CHECK(got == expected || got.empty());
    } else {
        FUZZ_CHECK(got == expected);
        FUZZ_CHECK(rc == 0);
    }
}

void opSyncCommand(FuzzInput& in) {
    const uint8_t which = in.u8();
    const uint8_t form = in.u8();
    if (which % 4 == 3) {
        firstCommand(form);
        return;
    }
    if (Token* t = pickToken(in)) {
        exCommand(t, form);
    }
}

void opAsyncCommand(FuzzInput& in) {
    State& s = *g_state;
    const uint8_t which = in.u8();
    if (which % 4 == 3) {
        if (!s.firstOpen.load()) {
            FUZZ_CHECK(SendData("7A0100") == 0);
            return;
        }
        if (!takeExchange()) {
            return;
        }
        Scripted c = scriptCommand(s.firstReader);
        {
            std::lock_guard<std::mutex> guard(s.firstLock);
            s.firstPending.push_back(workerAnswer(c));
        }
        FUZZ_CHECK(SendData(withLengthText(c).c_str()) == 0);
        return;
    }
    Token* t = pickToken(in);
    if (t == nullptr) {
        return;
    }
    if (t->closed.load()) {
        FUZZ_CHECK(SendDataEx(t->handle, "7A0100") == 0);
        return;
    }
    if (!takeExchange()) {
        return;
    }
    Scripted c = scriptCommand(t->reader);
    {
        std::lock_guard<std::mutex> guard(t->lock);
        t->pending.push_back(workerAnswer(c));
    }
    FUZZ_CHECK(SendDataEx(t->handle, withLengthText(c).c_str()) == 0);
}

void opSwipe(FuzzInput& in) {
    State& s = *g_state;
    const uint8_t which = in.u8();
    const int r = which % READERS;
    // Test tracks of no real card.
    const std::string t3 = which & 0x80 ? std::string(std::min<size_t>(which, 100), '1') : "";
    if (r == EXTENDED) {
        s.extended->swipe(TRACK1, TRACK2, t3);
    } else {
        s.plain[r]->swipe(TRACK1, TRACK2, t3);
    }
}

// The data of a notification: its first two bytes (when it has them) are a
// sequence number, so no two notifications are alike.
std::vector<uint8_t> notificationData(uint16_t id, size_t length) {
    const unsigned seq = g_state->sequence.fetch_add(1) + 1;
    std::vector<uint8_t> data(length);
    for (size_t i = 0; i < length; ++i) {
        data[i] = i == 0   ? static_cast<uint8_t>(seq >> 8)
                  : i == 1 ? static_cast<uint8_t>(seq)
                           : static_cast<uint8_t>(i * 7 + id);
    }
    return data;
}

// The extended reader sends reports, never faster than the host reads them:
// a handle queues at most 64, and a report dropped there is a loss no host
// can see. (The dead handles of an earlier unplug keep their reports, which
// count too: the wait is short.) Pulled out, it sends nothing.
void pushReports(const std::vector<quorin_sim::Report>& reports) {
    if (!g_state->plugged[EXTENDED]) {
        return;
    }
    for (const quorin_sim::Report& report : reports) {
        quorin_test::waitUntil([] { return g_state->extended->pendingInputReports() < 32; },
                               std::chrono::milliseconds(50));
        g_state->extended->pushInputReport(report);
    }
}

// Sends the notification's packets as fault says (at: the packet it hits).
void sendNotification(uint16_t id, const std::vector<uint8_t>& data, size_t chunk, int fault,
                      size_t at) {
    State& s = *g_state;
    const auto packets = quorin_sim::ExtendedReader::notificationPackets(id, data, chunk);
    const size_t k = at % packets.size();
    std::vector<quorin_sim::Report> out(packets);
    int copies = 1;  // notifications the reader sent, as a receiver sees them
    switch (fault) {
        case PACKET_LOST:
            out.erase(out.begin() + static_cast<long>(k));
            break;
        case PACKET_TWICE:
            out.insert(out.begin() + static_cast<long>(k), packets[k]);
            // A notification of one packet, twice, is two notifications.
            copies = packets.size() == 1 ? 2 : 1;
            break;
        case PACKET_SWAPPED:
            if (k + 1 < out.size()) {
                std::swap(out[k], out[k + 1]);
            }
            break;
        case PACKET_CUT: {
            // Half its chunk; the header stays whole (a report too short for
            // one is no packet).
            const size_t chunkBytes = out[k][2] == 0 ? 256 : out[k][2];
            out[k].resize(9 + chunkBytes / 2);
            break;
        }
        case PACKET_TAIL_LOST:
            out.resize(k);
            break;
        default:
            break;
    }
    if (out.empty()) {
        return;  // nothing of it reached the host
    }
    {
        std::lock_guard<std::mutex> guard(s.sentLock);
        for (int i = 0; i < copies; ++i) {
            s.sent.emplace_back(id, hexOf(data, true));
        }
    }
    // Unless its last packet came last, whole, a receiver may hold it half
    // collected.
    s.tailPending = out.back() != packets.back();
    pushReports(out);
}

void opNotification(FuzzInput& in) {
    const uint16_t id = static_cast<uint16_t>(0x0300 + in.u8() % 6);
    const size_t length = in.u16() % 1200;  // short, or many packets long
    sendNotification(id, notificationData(id, length),
                     quorin_sim::ExtendedReader::DEFAULT_CHUNK_SIZE, PACKET_WHOLE, 0);
}

// ------------------------------------------------------- hostile operations

void opHostileNotification(FuzzInput& in) {
    const uint16_t id = static_cast<uint16_t>(0x0300 + in.u8() % 6);
    const size_t length = in.u16() % 8000;  // past 4,095 bytes too
    const size_t chunk = in.u8() % 200 + 1;
    const int fault = in.u8() % PACKET_FAULTS;
    const size_t at = in.u8();
    sendNotification(id, notificationData(id, length), chunk, fault, at);
}

// A command whose answer the reader gets wrong is never a success.
void opHostileAnswer(FuzzInput& in) {
    State& s = *g_state;
    const uint8_t who = in.u8();
    const int fault = in.u8() % ANSWER_FAULTS;
    Token* t = pickToken(in);
    if (t == nullptr || t->closed.load() || !takeExchange()) {
        return;
    }
    Scripted c = scriptCommand(t->reader);
    const unsigned seq = sequenceOf(c.data);
    constexpr uint8_t REFUSAL = 0x80;
    if (fault == ANSWER_REFUSED) {
        const std::string key = hexOf({COMMAND}, true) + hexOf(c.data, true);
        if (t->reader == EXTENDED) {
            FUZZ_CHECK(s.extended->setAnswer(key, REFUSAL, c.answer));
        } else {
            FUZZ_CHECK(s.plain[t->reader]->setAnswer(key, REFUSAL, c.answer));
        }
    } else if (fault != ANSWER_UNPLUG) {
        g_answerFaults.set(seq, fault);
    }
    if (who % 2 == 1 && fault != ANSWER_UNPLUG) {
        if (fault == ANSWER_REFUSED) {
            std::vector<uint8_t> bytes = {REFUSAL, static_cast<uint8_t>(c.answer.size())};
            bytes.insert(bytes.end(), c.answer.begin(), c.answer.end());
            std::lock_guard<std::mutex> guard(t->lock);
            t->pending.push_back(hexOf(bytes, false));
        }
        // No other answer is due: a callback with one fails takeAnswer.
        FUZZ_CHECK(SendDataEx(t->handle, withLengthText(c).c_str()) == 0);
        // Once it ran, this thread's result is the command's own outcome,
        // whatever this thread did before.
        FUZZ_CHECK(quorin::ReaderSession::instance().waitIdle(IDLE_WAIT));
        const int code = GetResultCodeEx(t->handle);
        FUZZ_CHECK(code != 0 && (fault != ANSWER_REFUSED || code == REFUSAL || t->degraded.load() ||
                                 t->closing.load() || t->closed.load()));
        return;
    }
    std::string got;
    int code = 0;
    auto command = [&] {
        got = SendCommandEx(t->handle, plainText(c).c_str());
        code = GetResultCodeEx(t->handle);
    };
    if (fault == ANSWER_UNPLUG) {
        const int r = t->reader;
        auto received = [&] {
            return r == EXTENDED ? s.extended->commands().size() : s.plain[r]->commands().size();
        };
        const size_t before = received();
        std::thread host(command);
        quorin_test::waitUntil([&] { return received() > before; },
                               std::chrono::milliseconds(2000));
        if (s.plugged[r]) {
            unplugReader(r);
        }
        host.join();
        FUZZ_CHECK((got == hexOf(c.answer, true) && code == 0) || (got.empty() && code != 0));
        return;
    }
    command();
    if (fault == ANSWER_REFUSED) {
        FUZZ_CHECK(code == REFUSAL || (code != 0 && got.empty()));
    } else {
        FUZZ_CHECK(got.empty() && code != 0);
    }
}

// A swipe whose report arrives cut short, or twice.
void opHostileCard(FuzzInput& in) {
    State& s = *g_state;
    const int r = in.u8() % READERS;
    const bool cut = in.u8() % 2 == 0;
    const uint8_t length = in.u8();
    std::vector<unsigned char> report =
        quorin_sim::SimulatedSwipe(TRACK1, TRACK2, "").report(PIDS[r], SERIALS[r], ++s.swipes);
    if (r == EXTENDED) {
        report[0] = 0x01;  // the extended reader's card-data report
    }
    if (cut) {
        // Inside the header or the first two tracks, or inside the extended
        // part. (A report cut to 157..338 bytes, its tracks whole, is a
        // short report as a reader may send one: nobody can tell it was cut.)
        constexpr size_t SHORT_REPORT = 338;
        const size_t at = length % 2 == 0 || report.size() <= SHORT_REPORT + 1
                              ? length % 157
                              : SHORT_REPORT + 1 + length % (report.size() - SHORT_REPORT - 1);
        report.resize(at);
        if (report.empty()) {
            return;
        }
    }
    for (int i = cut ? 1 : 2; i > 0; --i) {
        s.readers[r]->pushInputReport(report);
    }
}

// The Obj of a serial reader's callbacks (H_SERIAL).
struct SerialWatch {
    std::mutex lock;
    std::vector<std::pair<unsigned, std::string>> notes;  // guarded by lock
    std::atomic<int> errors{0};
    std::atomic<bool> closed{false};
};

void onSerialNotification(unsigned long, void* obj, unsigned int id, const char* text) {
    auto* w = static_cast<SerialWatch*>(obj);
    FUZZ_CHECK(!w->closed.load() && text != nullptr);
    std::lock_guard<std::mutex> guard(w->lock);
    w->notes.emplace_back(id, text);
}
void onSerialError(unsigned long, void* obj, const char* text) {
    auto* w = static_cast<SerialWatch*>(obj);
    FUZZ_CHECK(!w->closed.load() && text != nullptr);
    w->errors.fetch_add(1);
}
void onSerialText(unsigned long, void* obj, const char* text) {
    FUZZ_CHECK(!static_cast<SerialWatch*>(obj)->closed.load() && text != nullptr);
}

// A serial reader on a pseudo-terminal: a notification, then one command
// whose reply goes wrong as the fault says, then its close.
void opSerial(FuzzInput& in) {
    using quorin_sim::PtyReader;
    using Framing = PtyReader::Framing;
    const Framing framing = static_cast<Framing>(in.u8() % 3);
    const int fault = in.u8() % SERIAL_FAULTS;
    const uint8_t noise = in.u8();
    if (!takeExchange()) {
        return;
    }
    PtyReader reader(framing);
    if (!reader.ok()) {
        return;
    }
    // Silence waits out a short time-out; a reply that comes must not be
    // taken for silence on a loaded machine; a close must not wait out a
    // long time-out: it ends the exchange.
    SetCommandTimeout(fault == SERIAL_NEVER ? 250 : fault == SERIAL_CLOSED ? 10000 : 5000);
    const unsigned long h = OpenDeviceEx(reader.serialPath().c_str());
    FUZZ_CHECK(h != 0);
    SerialWatch watch;
    OnNotificationDataEx(h, onSerialNotification, &watch);
    OnErrorEx(h, onSerialError, &watch);
    OnDataReceivedEx(h, onSerialText, &watch);
    OnDeviceResponseEx(h, onSerialText, &watch);

    // A notification (the legacy framing has none): whole, or refused.
    const bool notifies = framing != Framing::LEGACY;
    const bool badFrame = fault == SERIAL_BAD_FRAME && framing == Framing::SLIP;
    // Long and run-length encoded: it decodes past 4,096 bytes.
    const bool longRuns = framing == Framing::SLIP && (noise & 0x80) != 0;
    std::vector<uint8_t> data = notificationData(0x0301, longRuns ? 5000 : noise % 40 + 2);
    if (longRuns) {
        std::fill(data.begin() + 2, data.end(), noise);
    }
    const PtyReader::Bytes packet = PtyReader::notificationPacket(0x0301, data);
    if (badFrame) {
        FUZZ_CHECK(reader.writeRaw(PtyReader::slipFrame(0x02, packet, int(packet.size()) + 1)));
    } else if (notifies) {
        FUZZ_CHECK(reader.sendNotification(packet, longRuns));
    }

    // Command 01 00; the whole reply is result 0 and the data byte 41.
    const PtyReader::Bytes reply = {0x00, 0x01, 0x41};
    std::string got;
    int code = 0;
    std::thread host([&] {
        got = SendCommandEx(h, "0100");
        code = GetResultCodeEx(h);
    });
    const bool asked = reader.waitForCommands(1, 2000);
    bool whole = true;
    if (asked) {
        switch (fault) {
            case SERIAL_NOISE_FIRST:
                // A frame or line no framing takes for a reply, first.
                if (framing == Framing::SLIP) {
                    reader.writeRaw({noise == 0xC0 ? uint8_t(0x41) : noise, 0x07, 0x55});
                } else {
                    reader.writeRaw({'Z', static_cast<uint8_t>('0' + noise % 10), '\r'});
                }
                reader.sendResponse(reply);
                break;
            case SERIAL_CUT_REPLY:
                whole = false;
                if (framing == Framing::SLIP && noise % 2 == 0) {
                    reader.writeRaw(PtyReader::slipFrame(0x04, reply, int(reply.size()) + 2));
                } else {
                    reader.sendResponse({0x00, 0x04, 0x41});  // its own length says 4
                }
                break;
            case SERIAL_EMPTY_LINE:
                reader.writeRaw(framing == Framing::SLIP ? PtyReader::Bytes{0xC0, 0xC0}
                                                         : PtyReader::Bytes{'\r'});
                reader.sendResponse(reply);
                break;
            case SERIAL_NEVER:
                whole = false;
                break;
            case SERIAL_CLOSED: {
                // The close ends the exchange at once (5) and waits for it,
                // however long the command time-out.
                whole = false;
                const auto start = std::chrono::steady_clock::now();
                CloseDeviceEx(h);
                FUZZ_CHECK(std::chrono::steady_clock::now() - start < std::chrono::seconds(2));
                break;
            }
            case SERIAL_HANG_UP:
                whole = false;
                reader.hangUp();
                break;
            default:
                reader.sendResponse(reply);
                break;
        }
    }
    host.join();
    FUZZ_CHECK(asked);
    if (whole) {
        FUZZ_CHECK(got == "41" && code == 0);
    } else {
        FUZZ_CHECK(got.empty() && code != 0);
    }
    if (badFrame) {
        FUZZ_CHECK(quorin_test::waitUntil([&] { return watch.errors.load() > 0; }));
        FUZZ_CHECK(GetLostDataCountEx(h) > 0);
    } else if (notifies && fault != SERIAL_HANG_UP && fault != SERIAL_CLOSED) {
        // Sent before the command was answered, so delivered by now or soon.
        FUZZ_CHECK(quorin_test::waitUntil([&] {
            std::lock_guard<std::mutex> guard(watch.lock);
            return !watch.notes.empty();
        }));
        std::lock_guard<std::mutex> guard(watch.lock);
        FUZZ_CHECK(watch.notes.size() == 1 && watch.notes[0].first == 0x0301 &&
                   watch.notes[0].second == hexOf(data, true));
    }
    CloseDeviceEx(h);
    watch.closed.store(true);
    SetCommandTimeout(10000);
}

// Every notification the extended reader sent while a receiver listened was
// delivered to it, or its loss counted (but for one left half collected).
void checkNotificationsAccounted() {
    State& s = *g_state;
    auto missing = [&](std::vector<char>& notified, size_t from) {
        std::lock_guard<std::mutex> guard(s.sentLock);
        notified.resize(s.sent.size());
        size_t n = 0;
        for (size_t i = from; i < s.sent.size(); ++i) {
            // Without a sequence number, two alike cannot be told apart.
            n += notified[i] == 0 && s.sent[i].second.size() >= 4 ? 1 : 0;
        }
        return n;
    };
    const size_t slack = s.tailPending ? 1 : 0;
    std::vector<Token*> tokens;
    {
        std::lock_guard<std::mutex> guard(s.tokensLock);
        for (auto& t : s.tokens) {
            tokens.push_back(t.get());
        }
    }
    for (Token* t : tokens) {
        if (t->reader != EXTENDED || t->closing.load() || t->degraded.load() ||
            !t->listening.load() || t->everUnregistered.load()) {
            continue;
        }
        // The last report read may still be on its way through the
        // receiving thread: a bounded wait, not a sleep.
        FUZZ_CHECK(quorin_test::waitUntil([&] {
            const unsigned long lost = GetLostDataCountEx(t->handle) - t->lostAtStart;
            std::lock_guard<std::mutex> tokenGuard(t->lock);
            return missing(t->notified, t->sentFrom) <= lost + slack;
        }));
    }
    if (s.firstOpen.load() && s.firstReader == EXTENDED && s.notifyFirst &&
        !s.firstDegraded.load() && !s.firstCloseArmed.load()) {
        FUZZ_CHECK(quorin_test::waitUntil([&] {
            const unsigned long lost = GetLostDataCountEx(0) - s.firstLostAtStart;
            std::lock_guard<std::mutex> firstGuard(s.firstLock);
            return missing(s.firstNotified, s.firstSentFrom) <= lost + slack;
        }));
    }
}

void opPlug(FuzzInput& in) {
    State& s = *g_state;
    const int r = in.u8() % READERS;
    if (s.plugged[r]) {
        unplugReader(r);
    } else {
        s.readers[r]->replug();
        s.plugged[r] = true;
    }
}

void opFirstOpenClose(FuzzInput& in) {
    State& s = *g_state;
    const uint8_t mode = in.u8() % 3;
    const Name name = nameOf(in.u8());
    if (mode == FIRST_CLOSE) {
        CloseDevice();
        markFirstClosed();
        return;
    }
    if (s.firstCloseArmed.load() && !s.firstCloseDone.load()) {
        // A callback may close the reader at any moment: which reader an
        // open reaches is not known.
        return;
    }
    if (s.firstOpen.load()) {
        FUZZ_CHECK(OpenDevice(name.null ? nullptr : name.text.c_str()) == 0);
        return;
    }
    const int reader = resolveFirst(name);
    if (reader == EXTENDED && !takeExchange()) {
        return;
    }
    // A close taken by a first-generation callback is done with.
    s.firstCloseArmed.store(mode == FIRST_OPEN_CLOSING_CALLBACK);
    s.firstCloseTaken.store(false);
    s.firstCloseDone.store(false);
    s.firstDegraded.store(false);
    {
        std::lock_guard<std::mutex> guard(s.firstLock);
        s.firstPending.clear();
        s.firstNotified.clear();
        s.firstLostAtStart = GetLostDataCountEx(0);
        std::lock_guard<std::mutex> sentGuard(s.sentLock);
        s.firstSentFrom = s.sent.size();
    }
    s.firstReader = reader;
    // Marked open before the call: callbacks may run before it returns.
    s.firstOpen.store(reader >= 0);
    const long rc = OpenDevice(name.null ? nullptr : name.text.c_str());
    FUZZ_CHECK(rc == (reader >= 0 ? 0 : 1));
    if (reader < 0) {
        s.firstOpen.store(false);
        return;
    }
    long pid = 0;
    QuorinGetPID(&pid);
    FUZZ_CHECK(pid == PIDS[reader]);
}

// Two host threads at once: commands on one reader or two, a command and a
// close, or two closes of one handle.
void opRace(FuzzInput& in) {
    const uint8_t kind = in.u8();
    Token* a = pickToken(in);
    Token* b = pickToken(in);
    if (a == nullptr || b == nullptr) {
        return;
    }
    std::thread other;
    switch (kind % 4) {
        case RACE_COMMANDS:  // one reader or two
            other = std::thread([a, kind] { exCommand(a, kind / 4); });
            exCommand(b, kind / 16);
            break;
        case RACE_COMMAND_CLOSE:
            other = std::thread([a, kind] { exCommand(a, kind / 4); });
            closeToken(a);
            break;
        case RACE_CLOSES:  // of one handle
            other = std::thread([a] { closeToken(a); });
            closeToken(a);
            break;
        default:  // RACE_GENERATIONS
            other = std::thread([a, kind] { exCommand(a, kind / 4); });
            firstCommand(kind / 16);
            break;
    }
    other.join();
}

void opTexts(FuzzInput& in) {
    const uint8_t choice = in.u8();
    const size_t length = in.u16() % 10000;
    const std::string text(length, static_cast<char>('0' + choice % 10));
    const char* copy = STATIC_STRING(text.c_str());
    FUZZ_CHECK(std::strlen(copy) == std::min<size_t>(length, 767));
    FUZZ_CHECK(std::strlen(GetDeviceList()) < 4096);
    if (Token* t = pickToken(in)) {
        // Too long to be a command: refused before anything is sent.
        // A handle a callback is closing may answer either way.
        const bool settled = t->closed.load() || !t->closing.load();
        const bool open = !t->closed.load();
        if (length > 8189) {
            FUZZ_CHECK(std::strcmp(SendCommandEx(t->handle, text.c_str()), "") == 0);
            const int code = GetResultCodeEx(t->handle);
            FUZZ_CHECK(code == (open ? 6 : 5) || !settled);
            const long rc = SendDataEx(t->handle, text.c_str());
            FUZZ_CHECK(rc == (open ? 6 : 0) || !settled);
        }
        FUZZ_CHECK(IsDeviceConnectedEx(t->handle) == (open ? 1 : 0) || !settled);
        FUZZ_CHECK(std::strlen(GetCardDataEx(t->handle)) < 64 * 1024);
        FUZZ_CHECK(std::strlen(GetRawData(t->handle)) < 1024 * 1024);
    }
}

// Waits until the asynchronous commands and callbacks ran; every answer due
// on a reader that stayed healthy has arrived, and the watchers caught up.
// Reports still queued on an open connection are read within milliseconds;
// a reader unplugged may keep some on dead handles.
void opDelivered() {
    State& s = *g_state;
    FUZZ_CHECK(quorin_test::waitUntil([&] {
        for (int r = 0; r < READERS; ++r) {
            if (!s.everUnplugged[r] && s.readers[r]->pendingInputReports() != 0) {
                return false;
            }
        }
        return true;
    }));
}

void opSettle() {
    State& s = *g_state;
    opDelivered();
    FUZZ_CHECK(quorin::ReaderSession::instance().waitIdle(IDLE_WAIT));
    checkWatchersCaughtUp();
    checkNotificationsAccounted();
    std::lock_guard<std::mutex> guard(s.tokensLock);
    for (auto& t : s.tokens) {
        std::lock_guard<std::mutex> tokenGuard(t->lock);
        // Registered callbacks that stayed registered saw every answer.
        if (!t->closing.load() && !t->degraded.load() && t->listening.load()) {
            FUZZ_CHECK(t->pending.empty());
        }
    }
}

void setUp() {
    State& s = *g_state;
    g_answerFaults.clear();
    quorin_sim::VirtualHid& bus = quorin_sim::VirtualHid::instance();
    bus.reset();
    for (int r = 0; r < READERS; ++r) {
        if (r == EXTENDED) {
            s.extended = std::make_shared<FaultyExtendedReader>(VID, PIDS[r], SERIALS[r]);
            s.readers[r] = s.extended;
        } else {
            s.plain[r] = std::make_shared<FaultyPlainReader>(VID, PIDS[r], SERIALS[r]);
            s.readers[r] = s.plain[r];
        }
        // Paths of their own: a reader another target left open in the same
        // process keeps the bus's first paths.
        s.readers[r]->setPath("/dev/hidraw7" + std::to_string(r));
        bus.attach(s.readers[r]);
    }
}

// Before the first input: closes what an earlier target run in the same
// process left open (the replay test run as one process), then takes the
// idle thread count.
void takeIdleState() {
    CloseDevice();
    const unsigned long next = OpenDeviceEx(nullptr);
    FUZZ_CHECK(next != 0);
    for (unsigned long h = 1; h <= next; ++h) {
        CloseDeviceEx(h);
    }
    FUZZ_CHECK(quorin::ReaderSession::instance().waitIdle(IDLE_WAIT));
    FUZZ_CHECK(quorin_test::waitUntil(
        [] { return quorin::CallbackWorkers::instance().threads() == 0; },
        std::chrono::duration_cast<std::chrono::milliseconds>(THREADS_WAIT)));
    g_idleThreads = quorin_test::threadCount();
    FUZZ_CHECK(g_idleThreads > 0);
}

void registerFirst(uint8_t flags) {
    OnDataReceived(flags & FIRST_CARD_DATA ? onFirstCard : nullptr);
    OnDeviceResponse(flags & FIRST_RESPONSE ? onResponse : nullptr);
    OnNotification(flags & FIRST_NOTIFICATION ? onNotification : nullptr);
    OnDeviceExtendedResponse(flags & FIRST_EXTENDED_RESPONSE ? onFirstText : nullptr);
    OnDeviceConnectionStateChanged(onFirstConnection);
}

// Closes everything, then checks nothing is left running or open.
void tearDown() {
    if (g_state->hostile) {
        // What the readers sent is accounted for before anything closes.
        opSettle();
    }
    {
        std::lock_guard<std::mutex> registering(g_state->registerLock);
        clearWatcherLocked();
    }
    for (size_t i = 0; Token* t = tokenAt(i); ++i) {
        if (!t->closed.load()) {
            closeToken(t);
        }
    }
    CloseDevice();
    markFirstClosed();
    FUZZ_CHECK(quorin::ReaderSession::instance().waitIdle(IDLE_WAIT));
    FUZZ_CHECK(quorin_sim::VirtualHid::instance().openHandles() == 0);
    FUZZ_CHECK(quorin_test::waitUntil(
        [] { return quorin_test::threadCount() <= g_idleThreads; },
        std::chrono::duration_cast<std::chrono::milliseconds>(THREADS_WAIT)));
    registerFirst(0);
    quorin_sim::VirtualHid::instance().reset();
}

}  // namespace

QUORIN_FUZZ_TARGET(call_sequence) {
    State state;
    g_state = &state;
    setUp();
    if (g_idleThreads < 0) {
        takeIdleState();
    }
    FuzzInput in(data, size);
    const uint8_t first = in.u8();
    registerFirst(first);
    state.watched = (first & WATCH_DEVICE_LIST) != 0;
    state.notifyFirst = (first & FIRST_NOTIFICATION) != 0;
    state.hostile = (first & HOSTILE_READERS) != 0;
    if (state.watched) {
        std::lock_guard<std::mutex> registering(state.registerLock);
        registerWatcherLocked(WATCH_RECORD);
    }
    // WATCH and HOSTILE, when the input has them, follow the common
    // operations, so an input without them reads as it always did.
    const int opCount = OP_COUNT + (state.watched ? 1 : 0) + (state.hostile ? 1 : 0);
    for (int step = 0; step < MAX_OPERATIONS && !in.empty(); ++step) {
        int op = in.u8() % opCount;
        if (state.hostile && op == opCount - 1) {
            op = HOSTILE;
        }
        switch (op) {
            case OPEN_EX:
                opOpenEx(in);
                break;
            case CLOSE_EX:
                opCloseEx(in);
                break;
            case STALE:
                opStale(in);
                break;
            case SYNC:
                opSyncCommand(in);
                break;
            case ASYNC:
                opAsyncCommand(in);
                break;
            case SWIPE:
                opSwipe(in);
                break;
            case NOTIFY:
                opNotification(in);
                break;
            case PLUG:
                opPlug(in);
                break;
            case FIRST:
                opFirstOpenClose(in);
                break;
            case RACE:
                opRace(in);
                break;
            case TEXTS:
                opTexts(in);
                break;
            case SETTLE:
                opSettle();
                break;
            case DELIVERED:
                opDelivered();
                break;
            case WATCH:
                opWatch(in);
                break;
            default:  // HOSTILE
                switch (in.u8() % HOSTILE_KINDS) {
                    case H_NOTIFY:
                        opHostileNotification(in);
                        break;
                    case H_ANSWER:
                        opHostileAnswer(in);
                        break;
                    case H_CARD:
                        opHostileCard(in);
                        break;
                    default:
                        opSerial(in);
                        break;
                }
                break;
        }
    }
    tearDown();
    g_state = nullptr;
    return 0;
}
