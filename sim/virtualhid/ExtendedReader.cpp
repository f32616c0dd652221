#include "virtualhid/ExtendedReader.h"

#include <algorithm>

#include "SimulatedSwipe.h"

namespace quorin_sim {

namespace {

using Bytes = ExtendedReader::Bytes;

void putWord(Report& report, size_t at, size_t value) {
    report[at] = static_cast<uint8_t>((value >> 8) & 0xFF);
    report[at + 1] = static_cast<uint8_t>(value & 0xFF);
}

size_t word(const Report& report, size_t at) {
    return static_cast<size_t>(report[at]) << 8 | report[at + 1];
}

Report padded(Report report, size_t size) {
    if (report.size() < size) {
        report.resize(size, 0);
    }
    return report;
}

// One BER-TLV element (definite length).
Bytes tlv(const Bytes& tag, const Bytes& value) {
    Bytes out = tag;
    size_t n = value.size();
    if (n < 0x80) {
        out.push_back(static_cast<uint8_t>(n));
    } else if (n <= 0xFF) {
        out.push_back(0x81);
        out.push_back(static_cast<uint8_t>(n));
    } else {
        out.push_back(0x82);
        out.push_back(static_cast<uint8_t>(n >> 8));
        out.push_back(static_cast<uint8_t>(n & 0xFF));
    }
    out.insert(out.end(), value.begin(), value.end());
    return out;
}

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) {
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}

Bytes text(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

Bytes slice(const Bytes& data, size_t from, size_t count) {
    if (from >= data.size()) {
        return Bytes(count, 0);
    }
    Bytes out(data.begin() + static_cast<long>(from),
              data.begin() + static_cast<long>(std::min(data.size(), from + count)));
    out.resize(count, 0);
    return out;
}

const Bytes AUTHORISATION_APPROVED = {0x8A, 0x02, 0x30, 0x30};

bool contains(const Bytes& haystack, const Bytes& needle) {
    return std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end()) !=
           haystack.end();
}

}  // namespace

ExtendedReader::ExtendedReader(uint16_t vendorId, uint16_t productId,
                               std::optional<std::string> serial)
    : VirtualReader(vendorId, productId, serial) {
    m_script.addDeviceInformation(serial.value_or(""));
}

bool ExtendedReader::setAnswer(const std::string& command, int result, const Bytes& data) {
    Bytes kept(data.begin(), data.begin() + static_cast<long>(std::min(data.size(), MAX_TOTAL)));
    return m_script.set(command, {result, kept});
}

void ExtendedReader::setBusy(int count, uint8_t status) {
    std::lock_guard<std::mutex> guard(m_stateLock);
    m_busy = std::max(0, count);
    m_busyStatus = status;
}

void ExtendedReader::refusePacketAt(size_t offset, uint8_t status) {
    std::lock_guard<std::mutex> guard(m_stateLock);
    m_refuseOffset = offset;
    m_refusalStatus = status;
}

void ExtendedReader::setNotificationChunkSize(size_t size) {
    std::lock_guard<std::mutex> guard(m_stateLock);
    m_chunkSize = std::clamp<size_t>(size, 1, 256);
}

std::vector<Report> ExtendedReader::responsePackets(int result, const Bytes& data) {
    const size_t total = std::min(data.size(), MAX_TOTAL);
    std::vector<Report> packets;
    size_t offset = 0;
    do {
        const size_t k = std::min(PACKET_DATA, total - offset);
        Report packet(HEADER_SIZE, 0);
        packet[0] = REPORT_ID;
        packet[1] = STATUS_EXTENDED_DATA;
        packet[2] = static_cast<uint8_t>(k + 6);
        putWord(packet, 3, offset);
        putWord(packet, 5, static_cast<size_t>(result) & 0xFFFF);
        putWord(packet, 7, total);
        packet.insert(packet.end(), data.begin() + static_cast<long>(offset),
                      data.begin() + static_cast<long>(offset + k));
        packets.push_back(padded(std::move(packet), PACKET_SIZE));
        offset += k;
    } while (offset < total);
    return packets;
}

std::vector<Report> ExtendedReader::notificationPackets(uint16_t id, const Bytes& data,
                                                        size_t chunkSize) {
    chunkSize = std::clamp<size_t>(chunkSize, 1, 256);
    const size_t total = std::min(data.size(), MAX_TOTAL);
    std::vector<Report> packets;
    size_t offset = 0;
    do {
        const size_t c = std::min(chunkSize, total - offset);
        Report packet(HEADER_SIZE, 0);
        packet[0] = NOTIFICATION_PACKET;
        packet[2] = static_cast<uint8_t>(c & 0xFF);  // 256 travels as 0
        putWord(packet, 3, offset);
        putWord(packet, 5, id);
        putWord(packet, 7, total);
        packet.insert(packet.end(), data.begin() + static_cast<long>(offset),
                      data.begin() + static_cast<long>(offset + c));
        packets.push_back(padded(std::move(packet), HEADER_SIZE + chunkSize));
        offset += c;
    } while (offset < total);
    return packets;
}

void ExtendedReader::pushNotification(uint16_t id, const Bytes& data) {
    std::lock_guard<std::mutex> push(m_pushLock);
    size_t chunkSize;
    {
        std::lock_guard<std::mutex> guard(m_stateLock);
        chunkSize = m_chunkSize;
    }
    for (const Report& packet : notificationPackets(id, data, chunkSize)) {
        pushInputReport(packet);
    }
}

void ExtendedReader::swipe(const std::string& track1, const std::string& track2,
                           const std::string& track3) {
    unsigned int number;
    {
        std::lock_guard<std::mutex> guard(m_stateLock);
        number = ++m_swipes;
    }
    Report report =
        SimulatedSwipe(track1, track2, track3).report(productId(), serial().value_or(""), number);
    report[0] = CARD_DATA;
    std::lock_guard<std::mutex> push(m_pushLock);
    pushInputReport(report);
}

std::vector<ExtendedReader::Command> ExtendedReader::commands() const {
    std::lock_guard<std::mutex> guard(m_stateLock);
    return m_commands;
}

void ExtendedReader::clearRecords() {
    VirtualReader::clearRecords();
    std::lock_guard<std::mutex> guard(m_stateLock);
    m_commands.clear();
}

ExtendedReader::TransactionState ExtendedReader::transactionState() const {
    std::lock_guard<std::mutex> guard(m_stateLock);
    return m_state;
}

int ExtendedReader::busyAnswers() const {
    std::lock_guard<std::mutex> guard(m_stateLock);
    return m_busyAnswers;
}

int ExtendedReader::nextPacketRequests() const {
    std::lock_guard<std::mutex> guard(m_stateLock);
    return m_nextPacketRequests;
}

int ExtendedReader::refusedPackets() const {
    std::lock_guard<std::mutex> guard(m_stateLock);
    return m_refusedPackets;
}

Report ExtendedReader::reportDescriptor() const {
    return {
        0x06, 0x00,
        0xFF,  // usage page (vendor-defined 0xFF00)
        0x09, 0x01,
        0xA1, 0x01,       // usage 1, collection (application)
        0x85, REPORT_ID,  // report ID 1
        0x15, 0x00,
        0x26, 0xFF,
        0x00,        // logical minimum 0, maximum 255
        0x75, 0x08,  // report size 8
        0x96, 0x77,
        0x03,  // report count 887
        0x09, 0x20,
        0x81, 0x02,  // usage, input
        0x95, 0x3C,  // report count 60
        0x09, 0x21,
        0xB1, 0x02,  // usage, feature
        0xC0,        // end collection
        0x09, 0x02,
        0xA1, 0x01,                 // usage 2, collection (application)
        0x85, NOTIFICATION_PACKET,  // report ID 2
        0x96, 0x07,
        0x01,  // report count 263
        0x09, 0x22,
        0x81, 0x02,  // usage, input
        0xC0,        // end collection
    };
}

Report ExtendedReader::onGetFeature(uint8_t reportId) {
    if (reportId != REPORT_ID) {
        return {};
    }
    std::lock_guard<std::mutex> guard(m_stateLock);
    if (m_pendingStatus) {
        const uint8_t status = *m_pendingStatus;
        m_pendingStatus.reset();
        return padded({REPORT_ID, status, 0x00}, PACKET_SIZE);
    }
    if (m_responses.empty()) {
        return padded({REPORT_ID, 0x00, 0x00}, PACKET_SIZE);
    }
    if (m_busy > 0 && !m_delivered) {
        --m_busy;
        ++m_busyAnswers;
        return padded({REPORT_ID, m_busyStatus, 0x00}, PACKET_SIZE);
    }
    Report front = m_responses.front();
    if (front[1] == STATUS_EXTENDED_DATA) {
        m_delivered = true;  // read again until a next-packet request
    } else {
        m_responses.pop_front();  // a plain answer is read once
    }
    return front;
}

void ExtendedReader::onSetFeature(const Report& report) {
    if (report.size() < 3 || report[0] != REPORT_ID) {
        return;
    }
    std::vector<Notification> out;
    {
        std::lock_guard<std::mutex> guard(m_stateLock);
        if (report[1] == NEXT_PACKET) {
            ++m_nextPacketRequests;
            if (m_delivered && !m_responses.empty()) {
                m_responses.pop_front();
            }
            m_delivered = false;
            return;
        }
        if (report[1] == EXTENDED_COMMAND) {
            takeExtendedPacket(report, out);
        } else {
            // 01 | command | n | data; a frame cut short keeps what it carries.
            size_t n = std::min<size_t>(report[2], report.size() - 3);
            Command command{false, report[1],
                            Bytes(report.begin() + 3, report.begin() + 3 + static_cast<long>(n))};
            handleCommand(command, out);
        }
    }
    for (const Notification& n : out) {
        pushNotification(n.id, n.data);
    }
}

void ExtendedReader::takeExtendedPacket(const Report& report, std::vector<Notification>& out) {
    // 01 49 (k+6) off(2) id(2) total(2) data(k)
    if (report.size() < HEADER_SIZE || report[2] < 6) {
        ++m_refusedPackets;
        m_assembling = false;
        return;
    }
    const size_t k = report[2] - 6u;
    const size_t offset = word(report, 3);
    const uint16_t id = static_cast<uint16_t>(word(report, 5));
    const size_t total = word(report, 7);
    bool fits = k <= PACKET_DATA && HEADER_SIZE + k <= report.size() && offset + k <= total;
    if (m_refuseOffset && *m_refuseOffset == offset) {
        m_refuseOffset.reset();
        m_pendingStatus = m_refusalStatus;
        ++m_refusedPackets;
        m_assembling = false;
        return;
    }
    if (offset == 0) {
        // The first packet of a command: whatever was being put together or
        // answered is dropped, as a new command replaces it.
        m_assembling = fits;
        m_assemblyId = id;
        m_assemblyTotal = total;
        m_assembly.clear();
        m_responses.clear();
        m_delivered = false;
    } else if (!m_assembling || id != m_assemblyId || total != m_assemblyTotal ||
               offset != m_assembly.size()) {
        fits = false;
    }
    if (!fits) {
        ++m_refusedPackets;
        m_assembling = false;
        return;
    }
    m_assembly.insert(m_assembly.end(), report.begin() + HEADER_SIZE,
                      report.begin() + static_cast<long>(HEADER_SIZE + k));
    if (m_assembly.size() == m_assemblyTotal) {
        m_assembling = false;
        handleCommand(Command{true, m_assemblyId, m_assembly}, out);
    }
}

void ExtendedReader::handleCommand(const Command& command, std::vector<Notification>& out) {
    m_commands.push_back(command);
    m_responses.clear();
    m_delivered = false;
    std::optional<CommandScript::Answer> answer =
        command.extended
            ? m_script.findExtended(command.id, command.data)
            : m_script.findPlain(concat({Bytes{static_cast<uint8_t>(command.id)}, command.data}));
    CommandScript::Answer a = answer.value_or(CommandScript::Answer{});
    if (command.extended) {
        for (Report& packet : responsePackets(a.result, a.data)) {
            m_responses.push_back(std::move(packet));
        }
        if (a.result == 0) {
            runTransaction(command, out);
        }
        return;
    }
    size_t n = std::min<size_t>(a.data.size(), 255);
    Report frame = {REPORT_ID, static_cast<uint8_t>(a.result), static_cast<uint8_t>(n)};
    frame.insert(frame.end(), a.data.begin(), a.data.begin() + static_cast<long>(n));
    m_responses.push_back(padded(std::move(frame), PACKET_SIZE));
}

void ExtendedReader::runTransaction(const Command& command, std::vector<Notification>& out) {
    switch (command.id) {
        case START_TRANSACTION:
            m_startData = command.data;
            m_state = TransactionState::WAITING_FOR_SELECTION;
            out.push_back({TRANSACTION_STATUS, {0x01, 0x00, 0x00}});
            out.push_back({DISPLAY_MESSAGE, text("PRESENT CARD")});
            out.push_back({USER_SELECTION_REQUEST, concat({{0x00, 0x1E},
                                                           text("SELECT APPLICATION"),
                                                           {0x00},
                                                           text("CREDIT"),
                                                           {0x00},
                                                           text("DEBIT"),
                                                           {0x00}})});
            break;
        case SET_USER_SELECTION:
            if (m_state != TransactionState::WAITING_FOR_SELECTION) {
                break;
            }
            // data: status, selection
            if (command.data.empty() || command.data[0] != 0x00) {
                m_state = TransactionState::IDLE;
                out.push_back({TRANSACTION_RESULT, resultData(RESULT_CANCELLED)});
                break;
            }
            m_state = TransactionState::WAITING_FOR_ACQUIRER;
            out.push_back({ARQC, arqcData()});
            break;
        case SET_ACQUIRER_RESPONSE:
            if (m_state != TransactionState::WAITING_FOR_ACQUIRER) {
                break;
            }
            m_state = TransactionState::IDLE;
            out.push_back(
                {TRANSACTION_RESULT,
                 resultData(contains(command.data, AUTHORISATION_APPROVED) ? RESULT_APPROVED
                                                                           : RESULT_DECLINED)});
            break;
        case CANCEL_TRANSACTION:
            if (m_state == TransactionState::IDLE) {
                break;
            }
            m_state = TransactionState::IDLE;
            out.push_back({TRANSACTION_RESULT, resultData(RESULT_CANCELLED)});
            break;
        default:
            break;
    }
}

// Start data: time limit, card type, option, amount (6), transaction type,
// cash back (6), currency code (2), mode.
ExtendedReader::Bytes ExtendedReader::arqcData() const {
    const Bytes serialNumber = text(serial().value_or(""));
    const Bytes amount = slice(m_startData, 3, 6);
    const Bytes currency = slice(m_startData, 16, 2);
    const Bytes template70 = concat({
        tlv({0x9F, 0x02}, amount),
        tlv({0x5F, 0x2A}, currency),
        tlv({0x9F, 0x1A}, {0x08, 0x40}),
        tlv({0x84}, {0xA0, 0x00, 0x00, 0x00, 0x03, 0x10, 0x10}),
        tlv({0x9F, 0x26}, {0x3D, 0x7A, 0x11, 0x92, 0xC4, 0x05, 0xE8, 0x6B}),
        tlv({0x9F, 0x27}, {0x80}),
        tlv({0x9F, 0x36}, {0x00, 0x01}),
        tlv({0x9F, 0x10}, Bytes(18, 0x5C)),
    });
    return tlv({0xF9}, concat({tlv({0xDF, 0xDF, 0x25}, serialNumber),
                               tlv({0xFA}, tlv({0x70}, template70))}));
}

ExtendedReader::Bytes ExtendedReader::resultData(uint8_t outcome) const {
    const bool approved = outcome == RESULT_APPROVED;
    const Bytes template70 = concat({
        tlv({0x9F, 0x27}, {static_cast<uint8_t>(approved ? 0x40 : 0x00)}),
        tlv({0x8A}, approved ? Bytes{0x30, 0x30} : Bytes{0x30, 0x35}),
        tlv({0x9F, 0x02}, slice(m_startData, 3, 6)),
    });
    return tlv({0xF9}, concat({tlv({0xDF, 0xDF, 0x1A}, {outcome}),
                               tlv({0xDF, 0xDF, 0x25}, text(serial().value_or(""))),
                               tlv({0xFA}, tlv({0x70}, template70))}));
}

}  // namespace quorin_sim
