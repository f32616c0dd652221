#include "SoakReader.h"

#include <cinttypes>
#include <cstdio>
#include <thread>

#include "CardReport.h"
#include "Quorin.h"
#include "virtualhid/VirtualHid.h"

namespace quorin_soak {

using quorin_sim::PtyReader;
using Bytes = PtyReader::Bytes;

namespace {

constexpr uint16_t VID = QUORIN_USB_VENDOR_ID;
constexpr uint16_t PLAIN_PID = 0x01;
constexpr uint16_t EXTENDED_PID = 0x19;
constexpr std::chrono::milliseconds CATCH_UP_WAIT(10000);
constexpr std::chrono::milliseconds STEP_WAIT(10000);

// Polls cond every millisecond until it holds or timeout passed.
template <typename Cond>
bool waitFor(Cond cond, std::chrono::milliseconds timeout) {
    const auto deadline = SoakReader::Clock::now() + timeout;
    while (!cond()) {
        if (SoakReader::Clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

}  // namespace

const char* kindName(SoakReader::Kind kind) {
    switch (kind) {
        case SoakReader::Kind::USB_PLAIN:
            return "usb";
        case SoakReader::Kind::USB_EXTENDED:
            return "usb-ext";
        case SoakReader::Kind::SLIP:
            return "slip";
        case SoakReader::Kind::TIDELINK:
            return "tidelink";
        case SoakReader::Kind::LEGACY:
            return "legacy";
    }
    return "?";
}

SoakReader::SoakReader(int index, Kind kind) : m_index(index), m_kind(kind) {}

SoakReader::~SoakReader() {
    close();
}

std::string SoakReader::name() const {
    char text[32];
    std::snprintf(text, sizeof(text), "R%02d %s", m_index, kindName(m_kind));
    return text;
}

bool SoakReader::hasSwipes() const {
    return isUsb() || m_kind == Kind::SLIP;
}

bool SoakReader::hasNotifications() const {
    // The Tidelink framing hands a notification line on with its type byte
    // in front, which the extended protocol's packet does not expect: its
    // readers answer commands only here.
    return m_kind == Kind::USB_EXTENDED || m_kind == Kind::SLIP;
}

std::string SoakReader::swipeMarker(uint64_t seq) const {
    char text[40];
    std::snprintf(text, sizeof(text), "^S%08" PRIu64 "/R%02d^", seq, m_index);
    return text;
}

Bytes SoakReader::notificationData(uint64_t seq) const {
    Bytes data;
    for (int shift = 56; shift >= 0; shift -= 8) {
        data.push_back(static_cast<uint8_t>(seq >> shift));
    }
    data.push_back(static_cast<uint8_t>(m_index));
    // Bytes the framings escape or end lines with, among others.
    for (int i = 0; i < 48; ++i) {
        data.push_back(static_cast<uint8_t>((seq * 31 + static_cast<uint64_t>(i) * 7) & 0xFF));
    }
    data.push_back(0xC0);
    data.push_back(0xDB);
    data.push_back(0x0D);
    return data;
}

Bytes SoakReader::commandAnswer() const {
    return {0x5A, static_cast<uint8_t>(m_index), 0xC0, 0xDB, 0x0D, 0xA5};
}

std::string SoakReader::path() const {
    if (isUsb()) {
        char text[32];
        std::snprintf(text, sizeof(text), "HID://SK%02d", m_index);
        return text;
    }
    return m_pty->serialPath("BAUDRATE=115200");
}

void SoakReader::makeSerialModel() {
    const PtyReader::Framing framing = m_kind == Kind::SLIP       ? PtyReader::Framing::SLIP
                                       : m_kind == Kind::TIDELINK ? PtyReader::Framing::TIDELINK
                                                                  : PtyReader::Framing::LEGACY;
    m_pty = std::make_unique<PtyReader>(framing);
    Bytes response = {0x00, static_cast<uint8_t>(commandAnswer().size())};
    const Bytes answer = commandAnswer();
    response.insert(response.end(), answer.begin(), answer.end());
    m_pty->addResponse({0x45, 0x00}, response);
}

bool SoakReader::open() {
    char serial[8];
    std::snprintf(serial, sizeof(serial), "SK%02d", m_index);
    if (m_kind == Kind::USB_PLAIN && !m_plain) {
        m_plain = quorin_sim::VirtualHid::instance().plug<quorin_sim::PlainCommandReader>(
            VID, PLAIN_PID, serial);
        m_plain->setAnswer("45", 0, commandAnswer());
    } else if (m_kind == Kind::USB_EXTENDED && !m_extended) {
        m_extended = quorin_sim::VirtualHid::instance().plug<quorin_sim::ExtendedReader>(
            VID, EXTENDED_PID, serial);
        m_extended->setAnswer("0306:", 0, commandAnswer());
    } else if (!isUsb() && !m_pty) {
        makeSerialModel();
        if (!m_pty->ok()) {
            return false;
        }
    }
    // A reader just plugged back may need a moment to be listed.
    waitFor([&] { return (m_handle = OpenDeviceEx(path().c_str())) != 0; },
            std::chrono::milliseconds(5000));
    if (m_handle == 0) {
        return false;
    }
    OnDataReceivedEx(m_handle, &SoakReader::onCard, this);
    OnNotificationDataEx(m_handle, &SoakReader::onNotification, this);
    OnDeviceConnectionStateChangedEx(m_handle, &SoakReader::onState, this);
    OnErrorEx(m_handle, &SoakReader::onError, this);
    return true;
}

void SoakReader::close() {
    if (m_handle != 0) {
        m_ledger.noteReportedLoss(m_handle);
        CloseDeviceEx(m_handle);
        m_handle = 0;
    }
}

bool SoakReader::step() {
    if (!waitFor([&] { return m_ledger.outstanding() < WINDOW; }, STEP_WAIT)) {
        return false;
    }
    // In turn: swipe, notification, command, as far as the kind has them.
    for (int tries = 0; tries < 3; ++tries) {
        const int turn = m_turn++ % 3;
        if (turn == 0 && hasSwipes()) {
            sendSwipe();
            return true;
        }
        if (turn == 1 && hasNotifications()) {
            sendNotification();
            return true;
        }
        if (turn == 2) {
            sendCommand();
            return true;
        }
    }
    return true;
}

void SoakReader::sendSwipe() {
    const std::string track1 = "%B4111111111111111" + swipeMarker(m_swipeSeq) + "2512101?";
    const std::string track2 = ";4111111111111111=2512101?";
    ++m_swipeSeq;
    m_ledger.swipesSent++;
    if (m_plain) {
        m_plain->swipe(track1, track2, "");
    } else if (m_extended) {
        m_extended->swipe(track1, track2, "");
    } else {
        quorin_sim::CardReport swipe(quorin_sim::ReportLayout::clearTracks());
        swipe.track(1, track1).track(2, track2);
        if (!m_pty->sendCardData(swipe.shortReport(), m_swipeSeq % 2 == 0)) {
            m_ledger.swipesSent--;  // never left the model
        }
    }
}

void SoakReader::sendNotification() {
    const Bytes data = notificationData(m_noteSeq++);
    m_ledger.notificationsSent++;
    if (m_extended) {
        m_extended->pushNotification(notificationId(), data);
    } else if (!m_pty->sendNotification(PtyReader::notificationPacket(notificationId(), data),
                                        m_kind == Kind::SLIP && m_noteSeq % 2 == 0)) {
        m_ledger.notificationsSent--;
    }
}

void SoakReader::sendCommand() {
    m_ledger.commandsSent++;
    const std::string answer = SendCommandEx(m_handle, m_extended ? "0306:01" : "45");
    if (GetResultCodeEx(m_handle) != 0) {
        m_ledger.commandsFailed++;
    } else if (answer == PtyReader::hex(commandAnswer())) {
        m_ledger.commandsAnswered++;
    } else {
        m_ledger.corrupted++;
    }
}

bool SoakReader::waitCaughtUp(std::chrono::milliseconds timeout) const {
    return waitFor([&] { return m_ledger.outstanding() == 0; }, timeout);
}

bool SoakReader::replug() {
    bool ok = waitCaughtUp(CATCH_UP_WAIT);
    const uint64_t disconnects = m_ledger.disconnects;
    m_ledger.unplugs++;
    if (m_plain) {
        m_plain->unplug();
    } else if (m_extended) {
        m_extended->unplug();
    } else {
        m_pty->hangUp();
    }
    ok = waitFor([&] { return m_ledger.disconnects > disconnects; }, CATCH_UP_WAIT) && ok;
    close();
    // The models record every command; a run of minutes must not grow them.
    if (m_plain) {
        m_plain->clearRecords();
        m_plain->replug();
    } else if (m_extended) {
        m_extended->clearRecords();
        m_extended->replug();
    } else {
        m_pty.reset();
        makeSerialModel();
    }
    return open() && ok;
}

void SoakReader::onCard(unsigned long, void* obj, const char* text) {
    auto* self = static_cast<SoakReader*>(obj);
    std::lock_guard<std::mutex> guard(self->m_hostLock);
    // Compared, never printed: the text is card data.
    if (std::string(text).find(self->swipeMarker(self->m_nextSwipe)) != std::string::npos) {
        ++self->m_nextSwipe;
        self->m_ledger.swipesDelivered++;
    } else {
        self->m_ledger.corrupted++;
    }
}

void SoakReader::onNotification(unsigned long, void* obj, unsigned int id, const char* text) {
    auto* self = static_cast<SoakReader*>(obj);
    std::lock_guard<std::mutex> guard(self->m_hostLock);
    if (id == self->notificationId() &&
        text == PtyReader::hex(self->notificationData(self->m_nextNote))) {
        ++self->m_nextNote;
        self->m_ledger.notificationsDelivered++;
    } else {
        self->m_ledger.corrupted++;
    }
}

void SoakReader::onState(unsigned long, void* obj, long state) {
    if (state == ZEDRA_STATE_DISCONNECTED) {
        static_cast<SoakReader*>(obj)->m_ledger.disconnects++;
    }
}

void SoakReader::onError(unsigned long, void* obj, const char*) {
    static_cast<SoakReader*>(obj)->m_ledger.errorCallbacks++;
}

}  // namespace quorin_soak
