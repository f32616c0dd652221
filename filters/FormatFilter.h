// The framing filter interface of serial links.
//
// A serial connection does not know how a reader frames its messages: it
// hands every outgoing command and every chunk of received bytes to a
// FormatFilter and dispatches what comes back by channel number. Bytes cross
// this interface as hex text (two digits per byte).
//
// Contract for implementers:
//  - FilterOutput(HexMessage, ...) runs on the thread that sends a command and
//    must not touch state shared with FilterInput. It stores the bytes to write
//    as hex text in channelHexData and returns their count; a result below 1
//    means there is nothing to write, and a negative result means the command
//    was refused (it cannot be framed).
//  - FilterInput(HexMessage, ...) runs on the serial receiving thread only. It
//    appends the chunk (possibly empty) to the filter's buffer and takes at
//    most one frame: -1 when no complete frame is buffered; 0 or more when a
//    frame was taken (the channel outputs are set for an accepted frame, and
//    the result is the length of channelHexData / 2); -2 on an internal error.
//    Callers repeat with empty input until the result is negative.
//  - resetInput() drops every buffered byte.
//  - refusedFrame() tells whether the frame the last FilterInput call took
//    was refused although it was one of the reader's messages (its data
//    disagreed with its own length field, or could not be decoded): the
//    connection reports that loss, or fails the command a refused response
//    answered. Read on the receiving thread, right after FilterInput.
//  - keptHeaderBytes() tells how many bytes of its own header the frame that
//    the last FilterInput call accepted still carries in front of its data
//    (the SLIP filter's run-length frames keep type and length); a connection
//    drops them, so a message reaches the reader in one shape however it was
//    framed. Read on the receiving thread, right after FilterInput.
//  - Filters hold no lock: one filter instance serves one connection (each
//    connection makes its own, FilterRegistry::make).
//
// The base class is the "NONE" filter: no framing at all. A command goes on
// the line as its ASCII hex text, and every received chunk is one response.
#pragma once

#include <cstddef>
#include <string>

#include "common/CardText.h"

namespace quorin {

class FormatFilter {
public:
    // Channel numbers reported by the filters; the connection dispatches on them.
    static constexpr int CHANNEL_COMMAND = 1;
    static constexpr int CHANNEL_RESPONSE = 2;
    static constexpr int CHANNEL_NOTIFICATION = 3;
    static constexpr int CHANNEL_FRAMED_COMMAND = 5;
    static constexpr int CHANNEL_CARD_DATA = 17;

    // FilterInput results besides a byte count.
    static constexpr int NO_FRAME = -1;
    static constexpr int FILTER_ERROR = -2;

    FormatFilter() = default;
    virtual ~FormatFilter() = default;
    FormatFilter(const FormatFilter&) = delete;
    FormatFilter& operator=(const FormatFilter&) = delete;

    // Bytes may be card data (received ones above all): they leave a filter
    // as CardText, which wipes what it held when it goes.
    virtual int FilterOutput(std::string HexMessage, std::string& channelName, int& channelId,
                             CardText& channelHexData);
    virtual int FilterInput(CardText HexMessage, std::string& channelName, int& channelId,
                            CardText& channelHexData);
    virtual void resetInput() {}
    virtual size_t keptHeaderBytes() const { return 0; }
    virtual bool refusedFrame() const { return false; }

    // The process-wide filter registered under Name (exact, case-sensitive:
    // "NONE", "LEGACY", "TIDELINK", "SLIP"), which stands for its kind of
    // framing. Throws the int 6 for any other key.
    static FormatFilter* GetFilter(const std::string& Name);

    std::string Name = "NONE";  // display name only; nothing looks filters up by it
};

}  // namespace quorin
