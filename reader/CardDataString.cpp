#include "reader/CardDataString.h"

#include <cstring>

#include "common/stdafx.h"

namespace quorin {

namespace {
// A record field up to its terminator, never past its array.
template <size_t N>
std::string textOf(const char (&field)[N]) {
    return std::string(field, strnlen(field, N));
}
}  // namespace

std::string CardDataString::format(const ZDMSRDATA& msr, const std::string& delimiter) {
    return build(msr, delimiter, false);
}

std::string CardDataString::formatFirstGeneration(const ZDMSRDATA& msr,
                                                  const std::string& delimiter) {
    return build(msr, delimiter, true);
}

std::string CardDataString::build(const ZDMSRDATA& msr, const std::string& delimiter,
                                  bool firstGeneration) {
    const std::string fields[] = {
        UL2HEX(static_cast<unsigned long>(msr.m_dwReaderID)),
        textOf(msr.m_szDeviceSerialNumber),
        std::to_string(msr.m_dwCardSwipeStatus),
        std::to_string(msr.m_dwCardEncodeType),
        std::to_string(msr.m_dwTrack1DcdStatus),
        std::to_string(msr.m_dwTrack2DcdStatus),
        std::to_string(msr.m_dwTrack3DcdStatus),
        firstGeneration ? std::to_string(msr.m_dwFluxmarkStatus) : textOf(msr.m_szFluxmarkStatus),
        std::to_string(msr.m_dwTrack1Length),
        std::to_string(msr.m_dwTrack2Length),
        std::to_string(msr.m_dwTrack3Length),
        std::to_string(msr.m_dwTrack1LengthMasked),
        std::to_string(msr.m_dwTrack2LengthMasked),
        std::to_string(msr.m_dwTrack3LengthMasked),
        std::to_string(msr.m_dwFluxmarkLength),
        textOf(msr.m_szCardData),
        textOf(msr.m_szCardDataMasked),
        textOf(msr.m_szDUKPTSessionID),
        textOf(msr.m_szDUKPTKSN),
        textOf(msr.m_szFirstName),
        textOf(msr.m_szLastName),
        textOf(msr.m_szPAN),
        textOf(msr.m_szMonth),
        textOf(msr.m_szYear),
        textOf(msr.m_szTrack1Data),
        textOf(msr.m_szTrack2Data),
        textOf(msr.m_szTrack3Data),
        textOf(msr.m_szTrack1DataMasked),
        textOf(msr.m_szTrack2DataMasked),
        textOf(msr.m_szTrack3DataMasked),
        textOf(msr.m_szFluxmarkData),
        std::to_string(msr.m_dwBatteryLevel),
    };
    // One allocation for the whole text.
    size_t length = delimiter.size() * (sizeof(fields) / sizeof(fields[0]));
    for (const std::string& field : fields) {
        length += field.size();
    }
    std::string result;
    result.reserve(length);
    result += fields[0];
    for (size_t i = 1; i < sizeof(fields) / sizeof(fields[0]); ++i) {
        result += delimiter;
        result += fields[i];
    }
    if (firstGeneration) {
        result += delimiter;
    }
    return result;
}

}  // namespace quorin
