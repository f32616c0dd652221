#include "virtualhid/PlainCommandReader.h"

#include <algorithm>

#include "SimulatedSwipe.h"

namespace quorin_sim {

namespace {

constexpr size_t MAX_FRAME_DATA = 255;  // the length byte

}  // namespace

PlainCommandReader::PlainCommandReader(uint16_t vendorId, uint16_t productId,
                                       std::optional<std::string> serial)
    : VirtualReader(vendorId, productId, serial) {
    m_script.addDeviceInformation(serial.value_or(""));
}

bool PlainCommandReader::setAnswer(const std::string& command, int result, const Bytes& data) {
    return m_script.set(command, {result, data});
}

void PlainCommandReader::setUnknownCommandResult(int result) {
    std::lock_guard<std::mutex> guard(m_stateLock);
    m_unknownResult = result;
}

void PlainCommandReader::swipe(const std::string& track1, const std::string& track2,
                               const std::string& track3) {
    unsigned int number;
    {
        std::lock_guard<std::mutex> guard(m_stateLock);
        number = ++m_swipes;
    }
    pushInputReport(
        SimulatedSwipe(track1, track2, track3).report(productId(), serial().value_or(""), number));
}

std::vector<PlainCommandReader::Bytes> PlainCommandReader::commands() const {
    std::lock_guard<std::mutex> guard(m_stateLock);
    return m_commands;
}

void PlainCommandReader::clearRecords() {
    VirtualReader::clearRecords();
    std::lock_guard<std::mutex> guard(m_stateLock);
    m_commands.clear();
}

Report PlainCommandReader::onGetFeature(uint8_t reportId) {
    {
        std::lock_guard<std::mutex> guard(m_stateLock);
        if (reportId == 0 && m_answer) {
            return *m_answer;
        }
    }
    return nextFeatureResponse();
}

void PlainCommandReader::onSetFeature(const Report& report) {
    // 00 | command | n | data; a frame cut short keeps what it carries.
    if (report.size() < 2 || report[0] != 0) {
        return;
    }
    size_t n = report.size() >= 3 ? report[2] : 0;
    n = std::min(n, report.size() - std::min<size_t>(report.size(), 3));
    Bytes command(1 + n);
    command[0] = report[1];
    for (size_t i = 0; i < n; ++i) {
        command[1 + i] = report[3 + i];
    }

    std::optional<CommandScript::Answer> answer = m_script.findPlain(command);
    std::lock_guard<std::mutex> guard(m_stateLock);
    m_commands.push_back(command);
    CommandScript::Answer a = answer ? *answer : CommandScript::Answer{m_unknownResult, {}};
    size_t length = std::min(a.data.size(), MAX_FRAME_DATA);
    Report frame;
    frame.push_back(static_cast<uint8_t>(a.result));
    frame.push_back(static_cast<uint8_t>(length));
    frame.insert(frame.end(), a.data.begin(), a.data.begin() + static_cast<long>(length));
    m_answer = frame;
}

}  // namespace quorin_sim
