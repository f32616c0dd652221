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

void TlvPayload::element(CardText& out, const char* tag, unsigned int length,
                         std::string_view value) {
    out.append(tag).append(getTLVLengthString(length)).append(value);
}

CardText TlvPayload::build(const ZDMSRDATA& msr) {
    const std::string_view fluxmarkStatus = viewOf(msr.m_szFluxmarkStatus);
    const std::string_view ksn = viewOf(msr.m_szDUKPTKSN);
    CardText content;
    element(content, "DFDF37", lengthOf(msr.m_dwTrack1Length), viewOf(msr.m_szTrack1Data));
    element(content, "DFDF39", lengthOf(msr.m_dwTrack2Length), viewOf(msr.m_szTrack2Data));
    element(content, "DFDF3B", lengthOf(msr.m_dwTrack3Length), viewOf(msr.m_szTrack3Data));
    element(content, "DFDF3C", lengthOf(msr.m_dwFluxmarkLength), viewOf(msr.m_szFluxmarkData));
    element(content, "DFDF3D", static_cast<unsigned int>(fluxmarkStatus.size() / 2),
            fluxmarkStatus);
    element(content, "DFDF50", static_cast<unsigned int>(ksn.size() / 2), ksn);
    // The length is the number of characters actually converted, so a
    // longer serial number cannot make the element disagree with itself.
    const std::string_view serial = viewOf(msr.m_szDeviceSerialNumber).substr(0, SERIAL_CHARACTERS);
    CardText inner;
    element(inner, "DFDF25", static_cast<unsigned int>(serial.size()),
            ASCII2H(std::string(serial)));
    element(inner, "F4", static_cast<unsigned int>(content.size() / 2), content);
    CardText out;
    element(out, "FA", static_cast<unsigned int>(inner.size() / 2), inner);
    return out;
}

}  // namespace quorin
