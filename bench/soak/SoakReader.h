// One reader of the soak: its model (a virtual USB reader or a serial
// reader on a pseudo-terminal), its handle in the library, and its ledger.
//
// The driver thread sends events through the model (swipes, notifications)
// and commands through the library, in turn, as the kind of reader allows;
// the host callbacks check each text against what the model sent next.
// replug() pulls the reader out (the USB model leaves the bus, the serial
// line hangs up), closes the handle once the host was told, puts the reader
// back and opens it again.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "Ledger.h"
#include "PtyReader.h"
#include "virtualhid/ExtendedReader.h"
#include "virtualhid/PlainCommandReader.h"

namespace quorin_soak {

class SoakReader {
public:
    enum class Kind { USB_PLAIN, USB_EXTENDED, SLIP, TIDELINK, LEGACY };
    using Clock = std::chrono::steady_clock;

    // Events of a reader that may be on their way at once; the driver waits
    // for the host before it sends more.
    static constexpr uint64_t WINDOW = 8;

    SoakReader(int index, Kind kind);
    ~SoakReader();
    SoakReader(const SoakReader&) = delete;
    SoakReader& operator=(const SoakReader&) = delete;

    // Puts the model in place (once) and opens the reader; false when it
    // could not be opened.
    bool open();
    // Adds what the library reported lost, then closes the handle.
    void close();
    // Sends the next event or command. False when the host stayed WINDOW
    // events behind for the whole wait.
    bool step();
    // Waits until every event sent was delivered or reported lost; false at
    // the time-out.
    bool waitCaughtUp(std::chrono::milliseconds timeout) const;
    // Pulls the reader out and puts it back (see above); false when a step
    // of it failed (counted in the report).
    bool replug();

    const Ledger& ledger() const { return m_ledger; }
    std::string name() const;
    bool isUsb() const { return m_kind == Kind::USB_PLAIN || m_kind == Kind::USB_EXTENDED; }

private:
    static void onCard(unsigned long handle, void* obj, const char* text);
    static void onNotification(unsigned long handle, void* obj, unsigned int id, const char* text);
    static void onState(unsigned long handle, void* obj, long state);
    static void onError(unsigned long handle, void* obj, const char* text);

    bool hasSwipes() const;
    bool hasNotifications() const;
    // The marker a swipe carries in its track 1 name, and a notification's
    // data, for sequence number seq of this reader.
    std::string swipeMarker(uint64_t seq) const;
    quorin_sim::PtyReader::Bytes notificationData(uint64_t seq) const;
    uint16_t notificationId() const { return static_cast<uint16_t>(0x1300 + m_index); }
    quorin_sim::PtyReader::Bytes commandAnswer() const;
    std::string path() const;
    void makeSerialModel();
    void sendSwipe();
    void sendNotification();
    void sendCommand();

    const int m_index;
    const Kind m_kind;
    std::shared_ptr<quorin_sim::PlainCommandReader> m_plain;
    std::shared_ptr<quorin_sim::ExtendedReader> m_extended;
    std::unique_ptr<quorin_sim::PtyReader> m_pty;
    unsigned long m_handle = 0;  // the driver thread's
    Ledger m_ledger;
    // Model side: the driver thread's.
    uint64_t m_swipeSeq = 0;
    uint64_t m_noteSeq = 0;
    int m_turn = 0;
    // Host side: what the callbacks expect next.
    std::mutex m_hostLock;
    uint64_t m_nextSwipe = 0;
    uint64_t m_nextNote = 0;
};

const char* kindName(SoakReader::Kind kind);

}  // namespace quorin_soak
