#include "filters/LegacyQuill.h"

#include <vector>

#include "common/stdafx.h"

namespace quorin {

namespace {

// Whole-line match of [0-9A-F]*. A plain scan rather than a regular
// expression: the library's regex matcher recurses per character and a long
// line could exhaust the stack of the receiving thread.
bool isUpperHexText(const std::string& text) {
    for (char c : text) {
        if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) {
            return false;
        }
    }
    return true;
}

}  // namespace

LegacyQuill::LegacyQuill() : fifo(std::string(1, '\r')) {
    // The display name stays the base default, "NONE".
}

int LegacyQuill::FilterOutput(std::string HexMessage, std::string& channelName, int& channelId,
                              std::string& channelHexData) {
    channelName = "COMMAND";
    channelId = CHANNEL_COMMAND;
    channelHexData = B2H(reinterpret_cast<const unsigned char*>(HexMessage.data()),
                         static_cast<int>(HexMessage.size())) +
                     "0D";
    return static_cast<int>(channelHexData.size() / 2);
}

int LegacyQuill::FilterInput(std::string HexMessage, std::string& channelName, int& channelId,
                             std::string& channelHexData) {
    std::vector<unsigned char> bytes = H2BV(HexMessage);
    fifo.add(std::string(bytes.begin(), bytes.end()));
    std::string frameData = fifo.getFrame();
    if (frameData.empty()) {
        return NO_FRAME;
    }
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
