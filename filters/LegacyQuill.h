// Line framing for readers that exchange ASCII text, lines ended by 0x0D.
//
// Host to reader: the command's hex digits as ASCII text, then 0x0D
// (command 1A 2B -> "1A2B" CR). Reader to host: a line made only of the
// characters 0-9 and A-F is a response (its text is the response's hex);
// anything else, lower-case hex included, is card data, delivered as the
// reader's own text, not as hex.
#pragma once

#include "filters/FramedFilter.h"

namespace quorin {

class LegacyQuill : public FramedFilter {
public:
    LegacyQuill();

    int FilterOutput(std::string HexMessage, std::string& channelName, int& channelId,
                     CardText& channelHexData) override;

protected:
    int takeFrame(const CardText& frameData, std::string& channelName, int& channelId,
                  CardText& channelHexData) override;
};

}  // namespace quorin
