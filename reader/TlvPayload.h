#pragma once

#include <string>

#include "Quorin.h"

namespace quorin {

// Packs a card record into one BER-TLV text (definite-length form, hex):
// FA { DFDF25 serial number, F4 { tracks, Fluxmark, Fluxmark status, KSN } }.
class TlvPayload {
public:
    // The length field of an element of `Length` bytes: 7F -> "7F",
    // 80 -> "8180", 100 -> "820100", ...
    static std::string getTLVLengthString(unsigned int Length);
    static std::string build(const ZDMSRDATA& msr);

private:
    static std::string element(const std::string& tag, unsigned int length,
                               const std::string& value);
};

}  // namespace quorin
