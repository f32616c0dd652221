// Shared pieces of the extended-reader tests: a delegate that records what
// it is told, a probe that records the card reports handed to the decoder,
// and builders for the packets of the extended protocol.
#pragma once

#include <atomic>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "ScriptedConnection.h"
#include "reader/Strivo.h"
#include "reader/Strivo_Delegate.h"

namespace quorin_test {

class RecordingDelegate : public quorin::Strivo_Delegate {
public:
    struct Note {
        unsigned short id;
        bool nullData;
        int length;
        Bytes data;
    };
    struct Error {
        int code;
        std::string text;
    };

    void OnError(quorin::Strivo*, int err, char* errString) override {
        std::lock_guard<std::mutex> guard(m_lock);
        m_errors.push_back(Error{err, errString != nullptr ? errString : "<null>"});
    }
    void OnDeviceChange(quorin::Strivo*, EDeviceStateValues) override {}
    void OnCardUpdate(quorin::Strivo*, ECardDataStateValues) override {}
    void OnNotification(quorin::Strivo*, unsigned short messageId, const unsigned char* data,
                        int dataLen) override {
        {
            std::lock_guard<std::mutex> guard(m_lock);
            Note note{messageId, data == nullptr, dataLen, {}};
            if (data != nullptr && dataLen > 0) {
                note.data.assign(data, data + dataLen);
            }
            m_notes.push_back(note);
        }
        if (throwOnNextNotification.exchange(false)) {
            throw std::runtime_error("host failed");
        }
    }

    std::vector<Note> notes() {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_notes;
    }
    std::vector<Error> errors() {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_errors;
    }
    void reset() {
        std::lock_guard<std::mutex> guard(m_lock);
        m_notes.clear();
        m_errors.clear();
    }

    std::atomic<bool> throwOnNextNotification{false};

private:
    std::mutex m_lock;
    std::vector<Note> m_notes;
    std::vector<Error> m_errors;
};

// Counts the pauses a reader asks for instead of sleeping.
struct PauseLog {
    static std::atomic<int> calls;
    static std::atomic<int> totalMs;
    static void pause(int ms) {
        calls.fetch_add(1);
        totalMs.fetch_add(ms);
    }
    static void reset() {
        calls = 0;
        totalMs = 0;
    }
};

// A reader of class Base that records card reports instead of decoding them
// and exposes the state the tests look at.
template <class Base>
class Probe : public Base {
public:
    Probe() { this->setSleepFunction(&PauseLog::pause); }
    ~Probe() override { this->stopConnection(); }

    // Gives the reader a scripted connection it owns; returns it.
    ScriptedConnection* attach() {
        auto* conn = new ScriptedConnection();
        this->adoptConnection(conn, nullptr);
        return conn;
    }

    void getMSRResult(const unsigned char* data, int dataLen) override {
        {
            std::lock_guard<std::mutex> guard(m_cardLock);
            m_cards.emplace_back(data, data + dataLen);
        }
        if (throwOnCard) {
            throw std::runtime_error("decoder failed");
        }
    }
    std::vector<Bytes> cards() {
        std::lock_guard<std::mutex> guard(m_cardLock);
        return m_cards;
    }

    void setLimit(unsigned int limit) { this->VEYRA_COMMAND_LENGTH_LIMITATION = limit; }
    unsigned char notificationState() const { return this->notificationHeader[0]; }

    bool throwOnCard = false;

private:
    std::mutex m_cardLock;
    std::vector<Bytes> m_cards;
};

// Response packet of status 0x0A with k data bytes at offset; data byte i of
// the whole response is (i + seed) & 0xFF.
Bytes responsePacket(int offset, int k, int total, int resultCode = 0, int seed = 0);
// Notification packet of the USB link: chunk length in byte 2 (0 = 256).
Bytes usbNotification(unsigned short id, int offset, int chunkByte, int total, const Bytes& chunk);
// Notification packet of the Bluetooth LE and serial links: chunk length in
// bytes 1-2.
Bytes wideNotification(unsigned char type, unsigned short id, int offset, int chunkLength,
                       int total, const Bytes& chunk);
// n bytes counting up from first.
Bytes sequence(int n, int first = 0);
// Bytes of a hex text (two digits per byte).
Bytes fromHex(const std::string& hex);
std::string toHex(const Bytes& bytes);

}  // namespace quorin_test
