// Builds card-data input reports the way a reader sends them after a swipe,
// from field values, so a test reads like "swipe this card":
//
//   CardReport swipe(ReportLayout::secure());
//   swipe.track(1, "%B4111111111111111^DOE/ALEX^2512101?").encodeType(0);
//   std::vector<unsigned char> report = swipe.extendedReport();
//
// The layout is the model's (ReportLayout, VirtualModel.h): track fields of
// 112 bytes at 8/120/232 for encrypting models, else 110 bytes at
// 8/118/228; the extended part (Fluxmark, serial number, encryption status,
// key serial number, masked tracks, session id, battery level) carries only
// the fields the layout names. Track data longer than its field is cut to
// the field; length bytes may be overridden to describe malformed reports.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "VirtualModel.h"

namespace quorin_sim {

class CardReport {
public:
    // Size of a short report (the three 110-byte track fields end there).
    static constexpr size_t SHORT_SIZE = 338;
    // Size of an extended report that ends after the session id.
    static constexpr size_t EXTENDED_SIZE = 853;
    // Size of an extended report that carries the battery level.
    static constexpr size_t BATTERY_SIZE = 932;

    explicit CardReport(const ReportLayout& layout);

    // A bank card as a reader with this layout reports it: encrypted track stand-ins, masked tracks
    // with the account number 4111********1111 and the name DOE/JOHN Q, Fluxmark, serial number,
    // encryption status, KSN and session id.
    static CardReport bankCard(const ReportLayout& layout);

    // Track n (1..3): the bytes of its field; the length byte is their count.
    CardReport& track(int n, const std::string& data);
    // Overrides the length byte of track n.
    CardReport& trackLength(int n, int length);
    CardReport& decodeStatus(int track1, int track2, int track3);
    CardReport& encodeType(int type);
    // Masked track n (extended reports of layouts with masked tracks).
    CardReport& maskedTrack(int n, const std::string& text);
    CardReport& maskedLength(int n, int length);
    // Fluxmark status (written least significant byte first) and data; the
    // length byte is the data's size.
    CardReport& fluxmark(uint32_t status, const std::vector<unsigned char>& data);
    CardReport& fluxmarkLength(int length);
    CardReport& serialNumber(const std::string& text);
    CardReport& encryptionStatus(uint16_t status);
    CardReport& ksn(const std::vector<unsigned char>& bytes);
    CardReport& sessionId(const std::vector<unsigned char>& bytes);
    // The battery level is carried by extended reports of BATTERY_SIZE bytes.
    CardReport& batteryLevel(int level);

    // A short report of `size` bytes (the fields that fit).
    std::vector<unsigned char> shortReport(size_t size = SHORT_SIZE) const;
    // An extended report; size 0 means EXTENDED_SIZE, or BATTERY_SIZE when a
    // battery level was given. Smaller sizes cut the report there.
    std::vector<unsigned char> extendedReport(size_t size = 0) const;

private:
    std::vector<unsigned char> build(size_t size, bool extended) const;

    ReportLayout m_layout;
    std::string m_track[3];
    int m_trackLength[3] = {-1, -1, -1};
    int m_status[3] = {0, 0, 0};
    int m_encodeType = 0;
    std::string m_masked[3];
    int m_maskedLength[3] = {-1, -1, -1};
    uint32_t m_fluxmarkStatus = 0;
    std::vector<unsigned char> m_fluxmark;
    int m_fluxmarkLength = -1;
    std::string m_serialNumber;
    uint16_t m_encryptionStatus = 0;
    std::vector<unsigned char> m_ksn;
    std::vector<unsigned char> m_sessionId;
    int m_batteryLevel = -1;
};

}  // namespace quorin_sim
