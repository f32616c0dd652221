#include "filters/LegacyQuill.h"

namespace quorin {

namespace {

// Whole-line match of [0-9A-F]*. A plain scan rather than a regular
// expression: the library's regex matcher recurses per character and a long
// line could exhaust the stack of the receiving thread.
bool isUpperHexText(std::string_view text) {
    for (char c : text) {
        if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) {
            return false;
        }
    }
    return true;
}

}  // namespace

LegacyQuill::LegacyQuill() : FramedFilter(std::string(1, '\r')) {
    // The display name stays the base default, "NONE".
}

int LegacyQuill::FilterOutput(std::string HexMessage, std::string& channelName, int& channelId,
                              CardText& channelHexData) {
    // The unframed line of the base filter, ended by CR.
    FormatFilter::FilterOutput(HexMessage, channelName, channelId, channelHexData);
    channelHexData += "0D";
    return static_cast<int>(channelHexData.size() / 2);
}

int LegacyQuill::takeFrame(const CardText& frameData, std::string& channelName, int& channelId,
                           CardText& channelHexData) {
    if (isUpperHexText(frameData)) {
        channelName = "RESPONSE";
        channelId = CHANNEL_RESPONSE;
    } else {
        channelName = "CARD_DATA";
        channelId = CHANNEL_CARD_DATA;
    }
    channelHexData = frameData;
    return static_cast<int>(channelHexData.size() / 2);
}

}  // namespace quorin
