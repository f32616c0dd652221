#include "filters/FrameFIFO.h"

namespace quorin {

FrameFIFO::FrameFIFO(const std::string& stop, const std::string& start)
    : frame_start(start), frame_stop(stop) {}

void FrameFIFO::add(std::string_view data) {
    if (data.empty()) {
        return;
    }
    if (data.size() >= MAX_BYTES) {
        fifo.assign(data, data.size() - MAX_BYTES, MAX_BYTES);
        head = 0;
        return;
    }
    if (head != 0) {
        // Moving the rest to the front leaves the old tail behind it.
        const size_t before = fifo.size();
        fifo.erase(0, head);
        CardDataPool::wipe(&fifo[0] + fifo.size() + 1, before - fifo.size());
        head = 0;
    }
    size_t total = fifo.size() + data.size();
    if (total > MAX_BYTES) {
        fifo.erase(0, total - MAX_BYTES);
    }
    fifo += data;
}

CardText FrameFIFO::getFrame() {
    if (frame_stop.empty()) {
        return CardText();
    }
    for (;;) {
        size_t startPos = head;
        if (!frame_start.empty()) {
            startPos = find(frame_start, head);
            if (startPos == std::string::npos) {
                return CardText();
            }
        } else {
            // Empty lines end no frame: their stop bytes go.
            while (startPos < fifo.size() &&
                   fifo.compare(startPos, frame_stop.size(), frame_stop) == 0) {
                startPos += frame_stop.size();
            }
            consume(startPos);
            startPos = head;
        }
        size_t stopPos = find(frame_stop, startPos + 1);
        if (stopPos == std::string::npos) {
            return CardText();
        }
        size_t contentPos = startPos + frame_start.size();
        if (stopPos > contentPos) {
            CardText content(fifo.data() + contentPos, stopPos - contentPos);
            consume(stopPos + frame_stop.size());
            return content;
        }
        // Adjacent markers. When they are the same byte the second one may open
        // the next frame, so only the first is consumed.
        if (frame_start == frame_stop) {
            consume(startPos + frame_start.size());
        } else {
            consume(stopPos + frame_stop.size());
        }
    }
}

size_t FrameFIFO::find(const std::string& marker, size_t from) const {
    return marker.size() == 1 ? fifo.find(marker[0], from) : fifo.find(marker, from);
}

void FrameFIFO::consume(size_t end) {
    if (end >= fifo.size()) {
        fifo.wipeKeepStorage();
        head = 0;
    } else {
        head = end;
    }
}

}  // namespace quorin
