#include "filters/FrameFIFO.h"

namespace quorin {

FrameFIFO::FrameFIFO(const std::string& stop, const std::string& start)
    : frame_start(start), frame_stop(stop) {}

void FrameFIFO::add(const std::string& data) {
    if (data.size() >= MAX_BYTES) {
        fifo.assign(data, data.size() - MAX_BYTES, MAX_BYTES);
        return;
    }
    size_t total = fifo.size() + data.size();
    if (total > MAX_BYTES) {
        fifo.erase(0, total - MAX_BYTES);
    }
    fifo += data;
}

std::string FrameFIFO::getFrame() {
    if (frame_stop.empty()) {
        return std::string();
    }
    for (;;) {
        size_t startPos = 0;
        if (!frame_start.empty()) {
            startPos = fifo.find(frame_start);
            if (startPos == std::string::npos) {
                return std::string();
            }
        }
        size_t stopPos = fifo.find(frame_stop, startPos + 1);
        if (stopPos == std::string::npos) {
            return std::string();
        }
        size_t contentPos = startPos + frame_start.size();
        if (stopPos > contentPos) {
            std::string content = fifo.substr(contentPos, stopPos - contentPos);
            fifo.erase(0, stopPos + frame_stop.size());
            return content;
        }
        // Adjacent markers. When they are the same byte the second one may open
        // the next frame, so only the first is consumed.
        if (frame_start == frame_stop) {
            fifo.erase(0, startPos + frame_start.size());
        } else {
            fifo.erase(0, stopPos + frame_stop.size());
        }
    }
}

}  // namespace quorin
