// A filter that cuts the received stream into frames by its markers.
//
// It owns the frame buffer of the filters that frame their messages (SLIP,
// the legacy and the Tidelink line framings): each FilterInput call adds the
// received chunk and hands at most one complete frame to the framing's
// takeFrame, and resetInput drops whatever an earlier link left buffered. Only FilterInput
// touches the buffer, on the connection's receiving thread.
#pragma once

#include <string>

#include "filters/FormatFilter.h"
#include "filters/FrameFIFO.h"

namespace quorin {

class FramedFilter : public FormatFilter {
public:
    // Adds the chunk and hands the oldest complete frame to takeFrame:
    // NO_FRAME when none is complete, FILTER_ERROR when taking it throws.
    int FilterInput(CardText HexMessage, std::string& channelName, int& channelId,
                    CardText& channelHexData) override;
    void resetInput() override;

protected:
    // The stop marker comes first, the optional start marker second (see
    // FrameFIFO).
    explicit FramedFilter(const std::string& stop, const std::string& start = std::string());

    // Adds a received chunk (hex text, decoded as H2BV reads it) and returns
    // the oldest complete frame's bytes, one character each, or "" when no
    // frame is complete.
    CardText nextFrame(const CardText& hexChunk);
    // Turns one frame (its bytes, one character each, markers removed) into
    // the channel outputs; FilterInput's result for it.
    virtual int takeFrame(const CardText& frameData, std::string& channelName, int& channelId,
                          CardText& channelHexData) = 0;

private:
    FrameFIFO fifo;
};

}  // namespace quorin
