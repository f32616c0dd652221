#include "filters/FramedFilter.h"

#include "common/stdafx.h"

namespace quorin {

FramedFilter::FramedFilter(const std::string& stop, const std::string& start) : fifo(stop, start) {}

int FramedFilter::FilterInput(CardText HexMessage, std::string& channelName, int& channelId,
                              CardText& channelHexData) {
    try {
        CardText frameData = nextFrame(HexMessage);
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

CardText FramedFilter::nextFrame(const CardText& hexChunk) {
    CardBytes bytes;
    H2BV(hexChunk, bytes);
    fifo.add(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
    return fifo.getFrame();
}

}  // namespace quorin
