// Line framing of the Tidelink reader family, lines ended by 0x0D.
//
// Host to reader: the command bytes themselves, then 0x0D. Reader to host: a
// line of ASCII hex text whose first byte is the message type:
//
//     "02" ...  notification; the whole line text is delivered, type included,
//               and keptHeaderBytes() says so: a connection hands the reader
//               the packet behind it, as a SLIP link's notification frame
//     "04" ...  response; the text after the type is delivered
//
// Lines of one byte or less and other types are dropped.
#pragma once

#include "filters/FramedFilter.h"

namespace quorin {

class TidelinkFilter : public FramedFilter {
public:
    TidelinkFilter();

    int FilterOutput(std::string HexMessage, std::string& channelName, int& channelId,
                     CardText& channelHexData) override;
    // 1 after a notification line (its type byte leads the packet), else 0.
    size_t keptHeaderBytes() const override { return m_keptHeaderBytes; }

protected:
    int takeFrame(const CardText& frameData, std::string& channelName, int& channelId,
                  CardText& channelHexData) override;

private:
    size_t m_keptHeaderBytes = 0;  // of the last frame taken
};

}  // namespace quorin
