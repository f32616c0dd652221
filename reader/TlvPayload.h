#pragma once

#include <string>

#include "Quorin.h"
#include "common/CardText.h"

namespace quorin {

// Packs a card record into one BER-TLV text (definite-length form, hex):
// FA { DFDF25 serial number, F4 { tracks, Fluxmark, Fluxmark status, KSN } }.
// The text carries the tracks: it is card data.
class TlvPayload {
public:
    // The length field of an element of `Length` bytes: 7F -> "7F",
    // 80 -> "8180", 100 -> "820100", ...
    static std::string getTLVLengthString(unsigned int Length);
    static CardText build(const ZDMSRDATA& msr);

private:
    // Appends tag, the length field and value to out.
    static void element(CardText& out, const char* tag, unsigned int length,
                        std::string_view value);
};

}  // namespace quorin
