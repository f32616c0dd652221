#include "filters/FramedFilter.h"

#include <vector>

#include "common/stdafx.h"

namespace quorin {

FramedFilter::FramedFilter(const std::string& stop, const std::string& start) : fifo(stop, start) {}

int FramedFilter::FilterInput(std::string HexMessage, std::string& channelName, int& channelId,
                              std::string& channelHexData) {
    try {
        std::string frameData = nextFrame(HexMessage);
        if (frameData.empty()) {
            return NO_FRAME;
        }
        return takeFrame(frameData, channelName, channelId, channelHexData);
    } catch (...) {
        return FILTER_ERROR;
    }
}

void FramedFilter::resetInput() {
    fifo.clear();
}

std::string FramedFilter::nextFrame(const std::string& hexChunk) {
    std::vector<unsigned char> bytes = H2BV(hexChunk);
    fifo.add(std::string(bytes.begin(), bytes.end()));
    return fifo.getFrame();
}

}  // namespace quorin
