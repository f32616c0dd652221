#include "reader/TlvPayload.h"

#include <cstdio>
#include <cstring>

#include "common/FieldText.h"
#include "common/stdafx.h"

namespace quorin {

namespace {
// Record lengths are never negative in a decoded record; a zeroed or odd
// value is written as 0 rather than wrapped.
unsigned int lengthOf(long value) {
    return value > 0 ? static_cast<unsigned int>(value) : 0;
}

// The serial number element carries at most this many characters.
constexpr size_t SERIAL_CHARACTERS = 16;
}  // namespace

std::string TlvPayload::getTLVLengthString(unsigned int Length) {
    char text[16];
    if (Length < 0x80) {
        std::snprintf(text, sizeof(text), "%02X", Length);
    } else if (Length <= 0xFF) {
        std::snprintf(text, sizeof(text), "81%02X", Length);
    } else if (Length <= 0xFFFF) {
        std::snprintf(text, sizeof(text), "82%04X", Length);
    } else if (Length <= 0xFFFFFF) {
        std::snprintf(text, sizeof(text), "83%06X", Length);
    } else {
        std::snprintf(text, sizeof(text), "84%08X", Length);
    }
    return text;
}

std::string TlvPayload::element(const std::string& tag, unsigned int length,
                                const std::string& value) {
    return tag + getTLVLengthString(length) + value;
}

std::string TlvPayload::build(const ZDMSRDATA& msr) {
    std::string fluxmarkStatus = textOf(msr.m_szFluxmarkStatus);
    std::string ksn = textOf(msr.m_szDUKPTKSN);
    std::string content =
        element("DFDF37", lengthOf(msr.m_dwTrack1Length), textOf(msr.m_szTrack1Data)) +
        element("DFDF39", lengthOf(msr.m_dwTrack2Length), textOf(msr.m_szTrack2Data)) +
        element("DFDF3B", lengthOf(msr.m_dwTrack3Length), textOf(msr.m_szTrack3Data)) +
        element("DFDF3C", lengthOf(msr.m_dwFluxmarkLength), textOf(msr.m_szFluxmarkData)) +
        element("DFDF3D", static_cast<unsigned int>(fluxmarkStatus.size() / 2), fluxmarkStatus) +
        element("DFDF50", static_cast<unsigned int>(ksn.size() / 2), ksn);
    std::string f4 = element("F4", static_cast<unsigned int>(content.size() / 2), content);
    // The length is the number of characters actually converted, so a
    // longer serial number cannot make the element disagree with itself.
    std::string serial = textOf(msr.m_szDeviceSerialNumber).substr(0, SERIAL_CHARACTERS);
    std::string df25 = element("DFDF25", static_cast<unsigned int>(serial.size()), ASCII2H(serial));
    std::string inner = df25 + f4;
    return element("FA", static_cast<unsigned int>(inner.size() / 2), inner);
}

}  // namespace quorin
