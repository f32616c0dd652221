#include "CardReport.h"

#include <algorithm>

namespace quorin_sim {

namespace {

// Writes at most `field` bytes of data at offset, never past the report.
void put(std::vector<unsigned char>& report, size_t offset, const void* data, size_t count,
         size_t field) {
    const unsigned char* bytes = static_cast<const unsigned char*>(data);
    count = std::min(count, field);
    for (size_t i = 0; i < count && offset + i < report.size(); ++i) {
        report[offset + i] = bytes[i];
    }
}

void putByte(std::vector<unsigned char>& report, size_t offset, int value) {
    if (offset < report.size()) {
        report[offset] = static_cast<unsigned char>(value);
    }
}

int lengthByte(int given, size_t size) {
    return given >= 0 ? given : static_cast<int>(std::min<size_t>(size, 255));
}

}  // namespace

CardReport::CardReport(const ReportLayout& layout) : m_layout(layout) {}

CardReport CardReport::bankCard(const ReportLayout& layout) {
    CardReport swipe(layout);
    swipe.track(1, std::string("\x01\x02\x03\x04", 4))
        .track(2, std::string("\xAA\xBB", 2))
        .decodeStatus(0, 10, 255)
        .encodeType(0)
        .maskedTrack(1, "%B4111********1111^DOE/JOHN Q^2512101000000000?")
        .maskedTrack(2, ";4111********1111=2512101?")
        .fluxmark(0x0102A0B0, std::vector<unsigned char>(8, 0x5A))
        .serialNumber("B0123456789ABCDE")
        .encryptionStatus(0x1A2B)
        .ksn({0x90, 0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 0x70, 0x80, 0x01})
        .sessionId({1, 2, 3, 4, 5, 6, 7, 8});
    return swipe;
}

CardReport& CardReport::track(int n, const std::string& data) {
    m_track[n - 1] = data;
    return *this;
}

CardReport& CardReport::trackLength(int n, int length) {
    m_trackLength[n - 1] = length;
    return *this;
}

CardReport& CardReport::decodeStatus(int track1, int track2, int track3) {
    m_status[0] = track1;
    m_status[1] = track2;
    m_status[2] = track3;
    return *this;
}

CardReport& CardReport::encodeType(int type) {
    m_encodeType = type;
    return *this;
}

CardReport& CardReport::maskedTrack(int n, const std::string& text) {
    m_masked[n - 1] = text;
    return *this;
}

CardReport& CardReport::maskedLength(int n, int length) {
    m_maskedLength[n - 1] = length;
    return *this;
}

CardReport& CardReport::fluxmark(uint32_t status, const std::vector<unsigned char>& data) {
    m_fluxmarkStatus = status;
    m_fluxmark = data;
    return *this;
}

CardReport& CardReport::fluxmarkLength(int length) {
    m_fluxmarkLength = length;
    return *this;
}

CardReport& CardReport::serialNumber(const std::string& text) {
    m_serialNumber = text;
    return *this;
}

CardReport& CardReport::encryptionStatus(uint16_t status) {
    m_encryptionStatus = status;
    return *this;
}

CardReport& CardReport::ksn(const std::vector<unsigned char>& bytes) {
    m_ksn = bytes;
    return *this;
}

CardReport& CardReport::sessionId(const std::vector<unsigned char>& bytes) {
    m_sessionId = bytes;
    return *this;
}

CardReport& CardReport::batteryLevel(int level) {
    m_batteryLevel = level;
    return *this;
}

std::vector<unsigned char> CardReport::shortReport(size_t size) const {
    return build(size, false);
}

std::vector<unsigned char> CardReport::extendedReport(size_t size) const {
    if (size == 0) {
        size = m_batteryLevel >= 0 ? BATTERY_SIZE : EXTENDED_SIZE;
    }
    return build(size, true);
}

std::vector<unsigned char> CardReport::build(size_t size, bool extended) const {
    std::vector<unsigned char> report(size, 0);
    const bool encrypted = m_layout.encrypted;
    const size_t field = encrypted ? 112 : 110;
    const size_t offsets[3] = {8, encrypted ? 120u : 118u, encrypted ? 232u : 228u};

    for (int i = 0; i < 3; ++i) {
        putByte(report, 1 + i, m_status[i]);
        putByte(report, 4 + i, lengthByte(m_trackLength[i], m_track[i].size()));
        put(report, offsets[i], m_track[i].data(), m_track[i].size(), field);
    }
    putByte(report, 7, m_encodeType);
    if (!extended) {
        return report;
    }

    if (m_layout.fluxmark) {
        for (int i = 0; i < 4; ++i) {
            putByte(report, 345 + i, static_cast<int>((m_fluxmarkStatus >> (8 * i)) & 0xFF));
        }
        putByte(report, 349, lengthByte(m_fluxmarkLength, m_fluxmark.size()));
        put(report, 350, m_fluxmark.data(), m_fluxmark.size(), 128);
    }
    if (m_layout.serialNumber) {
        put(report, 478, m_serialNumber.data(), m_serialNumber.size(), 16);
    }
    putByte(report, 494, m_encryptionStatus & 0xFF);
    putByte(report, 495, m_encryptionStatus >> 8);
    if (m_layout.ksn) {
        put(report, 496, m_ksn.data(), m_ksn.size(), 10);
    }
    if (m_layout.maskedTracks) {
        const size_t maskedOffsets[3] = {509, 621, 733};
        for (int i = 0; i < 3; ++i) {
            putByte(report, 506 + i, lengthByte(m_maskedLength[i], m_masked[i].size()));
            put(report, maskedOffsets[i], m_masked[i].data(), m_masked[i].size(), 112);
        }
    }
    if (m_layout.sessionId) {
        put(report, 845, m_sessionId.data(), m_sessionId.size(), 8);
    }
    if (m_batteryLevel >= 0) {
        putByte(report, 931, m_batteryLevel);
    }
    return report;
}

}  // namespace quorin_sim
