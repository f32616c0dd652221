#include "ScriptedConnection.h"

#include <algorithm>
#include <cstring>

namespace quorin_test {

ScriptedConnection::ScriptedConnection() {
    setScheme("SCRIPTED://");
    m_fallback = [](unsigned char, int) { return Answer{17, {}}; };
}

void ScriptedConnection::queueAnswer(const Bytes& report, int times) {
    std::lock_guard<std::mutex> guard(m_lock);
    for (int i = 0; i < times; ++i) {
        m_script.push_back([report](unsigned char, int) { return Answer{0, report}; });
    }
}

void ScriptedConnection::queueFailure(int rc, int times) {
    std::lock_guard<std::mutex> guard(m_lock);
    for (int i = 0; i < times; ++i) {
        m_script.push_back([rc](unsigned char, int) { return Answer{rc, {}}; });
    }
}

void ScriptedConnection::queueHook(Hook hook) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_script.push_back(std::move(hook));
}

void ScriptedConnection::setFallback(Hook hook) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_fallback = std::move(hook);
}

void ScriptedConnection::setPadTo(int n) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_padTo = n;
}

int ScriptedConnection::pendingAnswers() {
    std::lock_guard<std::mutex> guard(m_lock);
    return static_cast<int>(m_script.size());
}

void ScriptedConnection::queueSendResult(int rc) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_sendResults.push_back(rc);
}

void ScriptedConnection::setSendHook(std::function<void(const Sent&)> hook) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_sendHook = std::move(hook);
}

std::vector<ScriptedConnection::Sent> ScriptedConnection::sent() {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_sent;
}

std::vector<ScriptedConnection::Read> ScriptedConnection::reads() {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_reads;
}

std::vector<char> ScriptedConnection::events() {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_events;
}

int ScriptedConnection::countSent(const Bytes& bytes) {
    std::lock_guard<std::mutex> guard(m_lock);
    return static_cast<int>(std::count_if(m_sent.begin(), m_sent.end(),
                                          [&](const Sent& s) { return s.bytes == bytes; }));
}

void ScriptedConnection::clearRecords() {
    std::lock_guard<std::mutex> guard(m_lock);
    m_sent.clear();
    m_reads.clear();
    m_events.clear();
}

void ScriptedConnection::push(const Bytes& report) {
    Bytes copy = report;
    deliverData(copy.empty() ? nullptr : copy.data(), static_cast<int>(copy.size()));
}

int ScriptedConnection::send(char* pData, int dataLen, int type) {
    Sent record;
    record.type = type;
    if (pData != nullptr && dataLen > 0) {
        record.bytes.assign(reinterpret_cast<unsigned char*>(pData),
                            reinterpret_cast<unsigned char*>(pData) + dataLen);
    }
    int rc = 0;
    std::function<void(const Sent&)> hook;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_sent.push_back(record);
        m_events.push_back('S');
        if (!m_sendResults.empty()) {
            rc = m_sendResults.front();
            m_sendResults.pop_front();
        }
        hook = m_sendHook;
    }
    if (hook) {
        hook(record);
    }
    return rc;
}

int ScriptedConnection::receive(unsigned char* pData, int* dataLen) {
    if (pData == nullptr || dataLen == nullptr) {
        return 6;
    }
    Hook hook;
    int padTo;
    const unsigned char selector = pData[0];
    const int capacity = *dataLen;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_reads.push_back(Read{selector, capacity});
        m_events.push_back('R');
        if (!m_script.empty()) {
            hook = std::move(m_script.front());
            m_script.pop_front();
        } else {
            hook = m_fallback;
        }
        padTo = m_padTo;
    }
    Answer answer = hook ? hook(selector, capacity) : Answer{17, {}};
    if (answer.rc != 0) {
        return answer.rc;
    }
    Bytes report = answer.report;
    if (static_cast<int>(report.size()) < padTo) {
        report.resize(static_cast<size_t>(padTo), 0);
    }
    // Like a well-behaved connection: never more than the caller's capacity.
    const int n = std::min(static_cast<int>(report.size()), capacity);
    if (n > 0) {
        std::memcpy(pData, report.data(), static_cast<size_t>(n));
    }
    *dataLen = n;
    return 0;
}

}  // namespace quorin_test
