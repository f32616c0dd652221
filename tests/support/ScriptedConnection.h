// A scripted stand-in for a reader's connection, for reader-object tests.
//
// receive() answers from a script, one entry per call, in order: a fixed
// report, a failure code, or a hook that builds the answer from the request
// (its selector byte and capacity). When the script is empty the fallback
// answers (a failure with 17 unless set). Every send() and receive() is
// recorded in order. A send hook runs after each recorded send, outside the
// lock, so a test can react to a request (queue the next packet, push the
// data-ready signal of a Bluetooth LE reader) before the reader reads again.
// push() hands a report to the reader's data callback on the calling thread,
// as a receiving thread would.
//
// Thread-safe: the script and the records are guarded by m_lock.
#pragma once

#include <deque>
#include <functional>
#include <mutex>
#include <vector>

#include "transport/iConnection.h"

namespace quorin_test {

using Bytes = std::vector<unsigned char>;

class ScriptedConnection : public quorin::iConnection {
public:
    struct Answer {
        int rc = 0;
        Bytes report;  // copied into the caller's buffer when rc is 0
    };
    // Receives the selector byte the caller put at pData[0] and the capacity.
    using Hook = std::function<Answer(unsigned char selector, int capacity)>;
    struct Sent {
        Bytes bytes;
        int type;
    };
    struct Read {
        unsigned char selector;
        int capacity;
    };

    ScriptedConnection();

    // ---- script of receive()
    void queueAnswer(const Bytes& report, int times = 1);
    void queueFailure(int rc, int times = 1);
    void queueHook(Hook hook);
    // Answers every read once the script is empty.
    void setFallback(Hook hook);
    // Zero-pads every answer to n bytes, as a HID connection returns its whole
    // feature report; 0 answers with the report's own length.
    void setPadTo(int n);
    int pendingAnswers();

    // ---- send()
    // The next send returns rc (once per call of this function).
    void queueSendResult(int rc);
    void setSendHook(std::function<void(const Sent&)> hook);

    // ---- records
    std::vector<Sent> sent();
    std::vector<Read> reads();
    // 'S' for a send, 'R' for a read, in the order they happened.
    std::vector<char> events();
    // Number of sends whose bytes equal the given ones.
    int countSent(const Bytes& bytes);
    void clearRecords();

    // ---- incoming data
    void push(const Bytes& report);

    int send(char* pData, int dataLen, int type) override;
    int receive(unsigned char* pData, int* dataLen) override;

private:
    std::mutex m_lock;  // guards every member below
    std::deque<Hook> m_script;
    Hook m_fallback;
    int m_padTo = 0;
    std::deque<int> m_sendResults;
    std::function<void(const Sent&)> m_sendHook;
    std::vector<Sent> m_sent;
    std::vector<Read> m_reads;
    std::vector<char> m_events;
};

}  // namespace quorin_test
