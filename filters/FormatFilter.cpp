#include "filters/FormatFilter.h"

#include "common/stdafx.h"
#include "filters/FilterRegistry.h"

namespace quorin {

int FormatFilter::FilterOutput(std::string HexMessage, std::string& channelName, int& channelId,
                               CardText& channelHexData) {
    channelName = "COMMAND";
    channelId = CHANNEL_COMMAND;
    // The command's hex digits themselves are the line bytes: 1A goes out as 31 41.
    B2H(reinterpret_cast<const unsigned char*>(HexMessage.data()),
        static_cast<int>(HexMessage.size()), channelHexData);
    return static_cast<int>(channelHexData.size() / 2);
}

int FormatFilter::FilterInput(CardText HexMessage, std::string& channelName, int& channelId,
                              CardText& channelHexData) {
    if (HexMessage.empty()) {
        return NO_FRAME;
    }
    channelName = "RESPONSE";
    channelId = CHANNEL_RESPONSE;
    channelHexData = HexMessage;
    return static_cast<int>(channelHexData.size() / 2);
}

FormatFilter* FormatFilter::GetFilter(const std::string& Name) {
    return FilterRegistry::instance().find(Name);
}

}  // namespace quorin
