// The frame accumulator with arbitrary markers over a sequence of chunks:
// bounded size, frames without markers inside, never more out than in.
#include <string>

#include "FuzzInput.h"
#include "FuzzTarget.h"
#include "filters/FrameFIFO.h"

using quorin::FrameFIFO;
using quorin_test::FuzzInput;

QUORIN_FUZZ_TARGET(frame_fifo) {
    FuzzInput in(data, size);
    const std::string stop(1, static_cast<char>(in.u8()));
    const uint8_t startByte = in.u8();
    const bool withStart = in.flag();
    const std::string start = withStart ? std::string(1, static_cast<char>(startByte)) : "";
    FrameFIFO fifo(stop, start);

    size_t in_total = 0;
    size_t out_total = 0;
    while (!in.empty()) {
        // Chunks up to past the size bound, so the trimming is reached.
        const size_t repeat = in.u8() == 0xFF ? 70 : 1;
        const std::string piece = in.text(in.u16() % 2048);
        std::string chunk;
        for (size_t i = 0; i < repeat; ++i) {
            chunk += piece;
        }
        fifo.add(chunk);
        in_total += chunk.size();
        FUZZ_CHECK(fifo.size() <= FrameFIFO::MAX_BYTES);
        for (;;) {
            const quorin::CardText frame = fifo.getFrame();
            if (frame.empty()) {
                break;
            }
            out_total += frame.size();
            FUZZ_CHECK(out_total <= in_total);
            // The stop marker ends a frame, and without a start marker the
            // stop bytes of empty lines never lead one.
            FUZZ_CHECK(frame.find(stop) == std::string::npos);
        }
    }
    return 0;
}
