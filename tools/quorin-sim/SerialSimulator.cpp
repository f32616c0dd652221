#include "SerialSimulator.h"

#include <hidapi/hidapi.h>

#include <algorithm>

#include "SimulatedSwipe.h"
#include "virtualhid/VirtualHidControl.h"

namespace quorin_sim {

namespace {

constexpr unsigned char REPORT_ID = 0x01;
constexpr unsigned char NOTIFICATION_PACKET = 0x02;
constexpr unsigned int EMV_PRODUCT_ID = 0x19;
constexpr size_t FEATURE_SIZE = 61;
constexpr size_t INPUT_SIZE = 2048;
constexpr int READ_PACE_MS = 100;

}  // namespace

SerialSimulator::SerialSimulator(PtyReader::Framing framing, std::string serialNumber)
    : m_framing(framing), m_serialNumber(std::move(serialNumber)) {}

SerialSimulator::~SerialSimulator() {
    stop();
}

bool SerialSimulator::start(std::string* error) {
    m_busId = quorin_vhid_plug("emv", 0, EMV_PRODUCT_ID, m_serialNumber.c_str());
    char busPath[256];
    if (m_busId < 0 || quorin_vhid_path(m_busId, busPath, sizeof(busPath)) < 0) {
        *error = "the virtual EMV reader could not be created";
        return false;
    }
    m_device = hid_open_path(busPath);
    if (m_device == nullptr) {
        *error = "the virtual EMV reader could not be opened";
        return false;
    }
    m_pty = std::make_unique<PtyReader>(m_framing);
    if (!m_pty->ok()) {
        *error = "no pseudo-terminal: " + m_pty->error();
        return false;
    }
    m_pty->setResponder([this](const PtyReader::Bytes& command, PtyReader::Bytes* response) {
        return bridgeCommand(command, response);
    });
    m_forwarder = std::thread([this] { forwardNotifications(); });
    return true;
}

void SerialSimulator::stop() {
    m_stop = true;
    if (m_forwarder.joinable()) {
        m_forwarder.join();
    }
    m_pty.reset();
    if (m_device != nullptr) {
        hid_close(m_device);
        m_device = nullptr;
    }
    if (m_busId >= 0) {
        quorin_vhid_unplug(m_busId);
        m_busId = -1;
    }
}

std::string SerialSimulator::path() const {
    return m_pty ? m_pty->serialPath() : std::string();
}

// The host writes a command buffer without its report ID: a plain command
// (command, length, data) or extended packets (49 ...). The USB reader takes
// it behind report ID 1 and answers the next feature read; the answer goes
// back without the report ID, which is where the serial connection puts its
// own placeholder.
bool SerialSimulator::bridgeCommand(const PtyReader::Bytes& command, PtyReader::Bytes* response) {
    if (command.empty() || command.size() + 1 > INPUT_SIZE) {
        return false;
    }
    std::vector<unsigned char> report(std::max(FEATURE_SIZE, command.size() + 1), 0);
    report[0] = REPORT_ID;
    std::copy(command.begin(), command.end(), report.begin() + 1);
    if (hid_send_feature_report(m_device, report.data(), report.size()) < 0) {
        return false;
    }
    unsigned char answer[FEATURE_SIZE + 1] = {REPORT_ID};
    int n = hid_get_feature_report(m_device, answer, sizeof(answer));
    if (n < 2) {
        return false;
    }
    response->assign(answer + 1, answer + n);
    return true;
}

void SerialSimulator::forwardNotifications() {
    std::vector<unsigned char> buf(INPUT_SIZE);
    while (!m_stop) {
        int n = hid_read_timeout(m_device, buf.data(), buf.size(), READ_PACE_MS);
        if (n < 0) {
            return;
        }
        // A notification packet; the serial link carries it without its type
        // byte (the connection puts the type back in front).
        if (n > 1 && buf[0] == NOTIFICATION_PACKET) {
            m_pty->sendNotification(PtyReader::Bytes(buf.begin() + 1, buf.begin() + n));
        }
    }
}

bool SerialSimulator::swipe() {
    unsigned int number;
    {
        std::lock_guard<std::mutex> guard(m_swipeLock);
        number = ++m_swipes;
    }
    std::vector<unsigned char> report =
        SimulatedSwipe::sampleCard().report(0, m_serialNumber, number);
    return m_pty && m_pty->sendCardData(report);
}

void SerialSimulator::hangUp() {
    if (m_pty) {
        m_pty->hangUp();
    }
}

size_t SerialSimulator::commandCount() {
    return m_pty ? m_pty->commands().size() : 0;
}

}  // namespace quorin_sim
