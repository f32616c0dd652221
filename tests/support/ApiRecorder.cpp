#include "ApiRecorder.h"

#include <atomic>

namespace quorin_test {

namespace {

void rec(const char* kind, unsigned long handle, void* obj, long state, unsigned int id,
         const char* text) {
    RecordedCall call;
    call.kind = kind;
    call.handle = handle;
    call.obj = obj;
    call.state = state;
    call.messageId = id;
    call.text = text != nullptr ? text : "";
    ApiRecorder::instance().record(call);
}

void onConnection(long state) {
    rec("connection", 0, nullptr, state, 0, nullptr);
}
void onDevice(long state) {
    rec("device", 0, nullptr, state, 0, nullptr);
}
void onCardState(long state) {
    rec("cardState", 0, nullptr, state, 0, nullptr);
}
void onCard(const char* text) {
    rec("card", 0, nullptr, 0, 0, text);
}
void onResponse(const char* text) {
    rec("response", 0, nullptr, 0, 0, text);
}
void onError(const char* text) {
    rec("error", 0, nullptr, 0, 0, text);
}
void onNotification(unsigned int id, const char* text) {
    rec("notification", 0, nullptr, 0, id, text);
}
void onStatus(const char* text) {
    rec("transactionStatus", 0, nullptr, 0, 0, text);
}
void onDisplay(const char* text) {
    rec("displayMessage", 0, nullptr, 0, 0, text);
}
void onSelection(const char* text) {
    rec("userSelection", 0, nullptr, 0, 0, text);
}
void onArqc(const char* text) {
    rec("arqc", 0, nullptr, 0, 0, text);
}
void onResult(const char* text) {
    rec("transactionResult", 0, nullptr, 0, 0, text);
}
void onExtended(const char* text) {
    rec("extended", 0, nullptr, 0, 0, text);
}

void onConnectionEx(unsigned long h, void* obj, long state) {
    rec("connection", h, obj, state, 0, nullptr);
}
void onCardEx(unsigned long h, void* obj, const char* text) {
    rec("card", h, obj, 0, 0, text);
}
void onResponseEx(unsigned long h, void* obj, const char* text) {
    rec("response", h, obj, 0, 0, text);
}
void onErrorEx(unsigned long h, void* obj, const char* text) {
    rec("error", h, obj, 0, 0, text);
}
void onNotificationEx(unsigned long h, void* obj, unsigned int id, const char* text) {
    rec("notification", h, obj, 0, id, text);
}

// Reader arrival and removal: "list" with the change as state and the path
// as text; a call that starts while another runs is recorded as "overlap".
std::atomic<int> g_listCalls{0};
void onDeviceList(void* obj, const char* path, long change) {
    if (g_listCalls.fetch_add(1) != 0) {
        rec("overlap", 0, obj, change, 0, path);
    }
    rec("list", 0, obj, change, 0, path);
    g_listCalls.fetch_sub(1);
}

}  // namespace

ApiRecorder& ApiRecorder::instance() {
    // Never destroyed: callback threads of the library may still record
    // while the test process exits.
    static ApiRecorder* recorder = new ApiRecorder();
    return *recorder;
}

void ApiRecorder::reset() {
    std::lock_guard<std::mutex> guard(m_lock);
    m_calls.clear();
}

void ApiRecorder::record(RecordedCall call) {
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_calls.push_back(std::move(call));
    }
    m_cv.notify_all();
}

std::vector<RecordedCall> ApiRecorder::calls() {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_calls;
}

std::vector<RecordedCall> ApiRecorder::callsOf(const std::string& kind) {
    std::lock_guard<std::mutex> guard(m_lock);
    std::vector<RecordedCall> out;
    for (const auto& c : m_calls) {
        if (c.kind == kind) {
            out.push_back(c);
        }
    }
    return out;
}

int ApiRecorder::count(const std::string& kind) {
    return static_cast<int>(callsOf(kind).size());
}

bool ApiRecorder::waitFor(const std::string& kind, int n, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> guard(m_lock);
    return m_cv.wait_for(guard, timeout, [&] {
        int seen = 0;
        for (const auto& c : m_calls) {
            if (c.kind == kind) {
                ++seen;
            }
        }
        return seen >= n;
    });
}

void ApiRecorder::registerFirstGeneration() {
    OnDeviceConnectionStateChanged(onConnection);
    QuorinDeviceStateChangedNotify(onDevice);
    QuorinCardDataStateChangedNotify(onCardState);
    OnDataReceived(onCard);
    OnDeviceResponse(onResponse);
    OnError(onError);
    OnNotification(onNotification);
    OnTransactionStatus(onStatus);
    OnDisplayMessageRequest(onDisplay);
    OnUserSelectionRequest(onSelection);
    OnARQCReceived(onArqc);
    OnTransactionResult(onResult);
    OnDeviceExtendedResponse(onExtended);
}

void ApiRecorder::unregisterFirstGeneration() {
    OnDeviceConnectionStateChanged(nullptr);
    QuorinDeviceStateChangedNotify(nullptr);
    QuorinCardDataStateChangedNotify(nullptr);
    OnDataReceived(nullptr);
    OnDeviceResponse(nullptr);
    OnError(nullptr);
    OnNotification(nullptr);
    OnTransactionStatus(nullptr);
    OnDisplayMessageRequest(nullptr);
    OnUserSelectionRequest(nullptr);
    OnARQCReceived(nullptr);
    OnTransactionResult(nullptr);
    OnDeviceExtendedResponse(nullptr);
}

long ApiRecorder::registerDeviceList(void* obj) {
    return OnDeviceListChanged(onDeviceList, obj);
}

void ApiRecorder::registerEx(unsigned long handle, void* obj) {
    OnDeviceConnectionStateChangedEx(handle, onConnectionEx, obj);
    OnDataReceivedEx(handle, onCardEx, obj);
    OnDeviceResponseEx(handle, onResponseEx, obj);
    OnErrorEx(handle, onErrorEx, obj);
    OnNotificationDataEx(handle, onNotificationEx, obj);
}

}  // namespace quorin_test
