// SLIP framing with run-length decoding, the default framing of serial links.
//
// Wire frame (both directions), every 0xC0 of the payload written as DB DC and
// every 0xDB as DB DD:
//
//     C0 | type | length hi | length lo | data ... | C0
//
// Types: 0 card data, 1 run-length encoded card data, 2 notification,
// 3 run-length encoded notification, 4 response, 5 command (host to reader).
// The length field of every type but 5 must match the data it carries (after
// decoding, for the run-length types); a frame that disagrees is refused.
// Plain card data and notifications are delivered without the 3-byte header,
// run-length encoded ones with the header in front of the decoded data;
// responses and commands deliver everything after the header.
#pragma once

#include <vector>

#include "filters/FramedFilter.h"

namespace quorin {

class V5SLIP : public FramedFilter {
public:
    static constexpr unsigned char SLIP_END = 0xC0;
    static constexpr unsigned char SLIP_ESC = 0xDB;
    static constexpr unsigned char SLIP_ESC_END = 0xDC;
    static constexpr unsigned char SLIP_ESC_ESC = 0xDD;
    // The largest command the 16-bit length field can describe.
    static constexpr size_t MAX_COMMAND_BYTES = 0xFFFF;

    V5SLIP();

    // Frames a command; reports "COMMAND" on channel 5. A command longer than
    // MAX_COMMAND_BYTES is refused with -1 and nothing to write.
    int FilterOutput(std::string HexMessage, std::string& channelName, int& channelId,
                     CardText& channelHexData) override;
    int FilterInput(CardText HexMessage, std::string& channelName, int& channelId,
                    CardText& channelHexData) override;
    // 3 after a run-length frame was delivered (its type and length field
    // lead its data), else 0.
    size_t keptHeaderBytes() const override { return m_keptHeaderBytes; }
    // Card data, a notification or a response whose length field disagrees
    // with its data (or whose run-length data cannot be decoded).
    bool refusedFrame() const override { return m_refused; }

    // Both take an unstuffed payload (type, length, data) and return what to
    // deliver, or an empty vector when the length field does not match.
    virtual CardBytes ValidateRLE(const CardBytes& data);
    virtual CardBytes ValidatePlainData(const CardBytes& data);

protected:
    int takeFrame(const CardText& frameData, std::string& channelName, int& channelId,
                  CardText& channelHexData) override;

private:
    size_t m_keptHeaderBytes = 0;  // of the last frame FilterInput took
    bool m_refused = false;        // the last frame FilterInput took was refused
};

}  // namespace quorin
