#include "filters/TidelinkFilter.h"

#include <vector>

#include "common/stdafx.h"

namespace quorin {

TidelinkFilter::TidelinkFilter() : FramedFilter(std::string(1, '\r')) {
    Name = "Tidelink";
}

int TidelinkFilter::FilterOutput(std::string HexMessage, std::string& channelName, int& channelId,
                                 CardText& channelHexData) {
    channelName = "COMMAND";
    channelId = CHANNEL_FRAMED_COMMAND;
    channelHexData.assign(HexMessage).append("0D");
    return static_cast<int>(channelHexData.size() / 2);
}

int TidelinkFilter::takeFrame(const CardText& frameData, std::string& channelName, int& channelId,
                              CardText& channelHexData) {
    m_keptHeaderBytes = 0;
    CardBytes message;
    H2BV(frameData, message);
    if (message.size() <= 1) {
        return 0;
    }
    switch (message[0]) {
        case 0x02:
            channelId = CHANNEL_NOTIFICATION;
            channelName = "NOTIFICATION";
            channelHexData = frameData;
            m_keptHeaderBytes = 1;
            break;
        case 0x04:
            channelId = CHANNEL_RESPONSE;
            channelName = "RESPONSE";
            channelHexData.assign(frameData, 2, CardText::npos);
            break;
        default:
            return 0;
    }
    return static_cast<int>(channelHexData.size() / 2);
}

}  // namespace quorin
