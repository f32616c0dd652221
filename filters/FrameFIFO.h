// Byte accumulator that cuts frames out of a received stream by a start and a
// stop marker (single bytes; the start marker may be absent).
//
// Bytes are kept one character per byte. Frames are taken oldest first;
// an incomplete frame stays buffered until more bytes arrive; with a start
// marker, whatever precedes it is discarded with the frame. Without a start
// marker, stop bytes at the front are empty lines and are skipped, so a line
// end sent before a reply never sticks to it.
//
// Two guards keep a noisy line from breaking the stream:
//  - The buffer holds at most MAX_BYTES; when a stream never completes a frame
//    the oldest bytes are dropped.
//  - When start and stop are the same byte, two adjacent markers are not taken
//    as an empty frame: the first is dropped and the second opens the next
//    frame. A stray marker (a frame cut in half, line noise) therefore costs
//    one frame instead of shifting every later frame out of step.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "common/CardText.h"

namespace quorin {

class FrameFIFO {
public:
    // The longest frame a 16-bit length field allows, every byte stuffed:
    // 2 x (3 + 65,535) + 2 bytes, rounded up.
    static constexpr size_t MAX_BYTES = 132 * 1024;

    // The stop marker comes first, the optional start marker second.
    FrameFIFO(const std::string& stop, const std::string& start = std::string());

    void add(std::string_view data);
    // The content of the oldest complete, non-empty frame without its markers,
    // or "" when none is complete.
    CardText getFrame();
    // Drops (and wipes) every buffered byte.
    void clear() {
        fifo.wipeKeepStorage();
        head = 0;
    }
    size_t size() const { return fifo.size() - head; }

private:
    // Marks the bytes before end as consumed.
    void consume(size_t end);
    // fifo.find(marker, from), as a plain byte search for a one-byte marker.
    size_t find(const std::string& marker, size_t from) const;

    // Received bytes; those before head are consumed. Taking a frame only
    // moves head, and the consumed bytes go when more data is added, so a
    // burst of many frames costs time linear in its size rather than one
    // move of the rest of the buffer per frame. The bytes may be card data:
    // whatever is dropped or moved away is wiped.
    CardText fifo;
    size_t head = 0;          // head <= fifo.size()
    std::string frame_start;  // empty or one byte
    std::string frame_stop;   // one byte
};

}  // namespace quorin
