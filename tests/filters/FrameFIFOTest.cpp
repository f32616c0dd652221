#include <gtest/gtest.h>

#include <string>

#include "filters/FrameFIFO.h"

using quorin::FrameFIFO;

namespace {

std::string bytes(std::initializer_list<int> values) {
    std::string out;
    for (int v : values) {
        out.push_back(static_cast<char>(v));
    }
    return out;
}

FrameFIFO slipFifo() {
    return FrameFIFO(bytes({0xC0}), bytes({0xC0}));
}

}  // namespace

TEST(FrameFIFOTest, StartAndStopMarkersCutFramesOldestFirst) {
    FrameFIFO fifo = slipFifo();
    fifo.add(bytes({0xC0, 0x41, 0x42, 0xC0, 0xC0, 0x43, 0xC0}));
    EXPECT_EQ(fifo.getFrame(), "AB");
    EXPECT_EQ(fifo.getFrame(), "C");
    EXPECT_EQ(fifo.getFrame(), "");

    // Bytes in front of the start marker go with the frame.
    FrameFIFO garbage = slipFifo();
    garbage.add(bytes({0x41, 0xC0, 0x42, 0xC0}));
    EXPECT_EQ(garbage.getFrame(), "B");
    EXPECT_EQ(garbage.size(), 0u);
}

TEST(FrameFIFOTest, IncompleteFrameWaitsForTheRest) {
    FrameFIFO fifo = slipFifo();
    fifo.add(bytes({0x7E, 0xC0, 0x41}));
    EXPECT_EQ(fifo.getFrame(), "");
    EXPECT_EQ(fifo.size(), 3u);
    fifo.add(bytes({0x42, 0xC0}));
    EXPECT_EQ(fifo.getFrame(), "AB");
}

TEST(FrameFIFOTest, AdjacentMarkersAreNoFrameAndTheSecondOpensTheNext) {
    FrameFIFO fifo = slipFifo();
    fifo.add(bytes({0xC0, 0xC0}));
    EXPECT_EQ(fifo.getFrame(), "");
    fifo.add(bytes({0x41, 0x42, 0xC0}));
    EXPECT_EQ(fifo.getFrame(), "AB");

    // A stray marker in front of well-formed frames costs none of them.
    FrameFIFO stray = slipFifo();
    stray.add(bytes({0xC0, 0xC0, 0x31, 0xC0, 0xC0, 0x32, 0xC0}));
    EXPECT_EQ(stray.getFrame(), "1");
    EXPECT_EQ(stray.getFrame(), "2");

    // A frame cut in half costs at most the frame after it; later ones come through.
    FrameFIFO cut = slipFifo();
    cut.add(bytes({0xC0, 0x58}));
    cut.add(bytes({0xC0, 0x31, 0xC0, 0xC0, 0x32, 0xC0, 0xC0, 0x33, 0xC0}));
    std::string seen;
    for (quorin::CardText f = cut.getFrame(); !f.empty(); f = cut.getFrame()) {
        seen.append(f.view()).append("|");
    }
    EXPECT_EQ(seen, "X|2|3|");
}

TEST(FrameFIFOTest, StopMarkerOnlyLines) {
    FrameFIFO fifo(bytes({0x0D}));
    fifo.add(bytes({0x41, 0x42, 0x0D, 0x43}));
    EXPECT_EQ(fifo.getFrame(), "AB");
    EXPECT_EQ(fifo.getFrame(), "");
    EXPECT_EQ(fifo.size(), 1u);

    // Empty lines (stop bytes at the very front) are skipped, never stuck to
    // the next frame.
    FrameFIFO lead(bytes({0x0D}));
    lead.add(bytes({0x0D, 0x0D, 0x41, 0x0D}));
    EXPECT_EQ(lead.getFrame(), bytes({0x41}));
}

TEST(FrameFIFOTest, BufferIsCappedAndKeepsTheNewestBytes) {
    FrameFIFO fifo = slipFifo();
    std::string noise(FrameFIFO::MAX_BYTES / 3, 'x');
    for (int i = 0; i < 10; ++i) {
        fifo.add(noise);
        ASSERT_LE(fifo.size(), FrameFIFO::MAX_BYTES);
    }
    EXPECT_EQ(fifo.size(), FrameFIFO::MAX_BYTES);
    fifo.add(bytes({0xC0, 0x41, 0xC0}));
    EXPECT_EQ(fifo.getFrame(), "A");

    // One chunk larger than the cap keeps its tail.
    FrameFIFO line(bytes({0x0D}));
    std::string big(FrameFIFO::MAX_BYTES + 10, 'y');
    big += "Z\r";
    line.add(big);
    EXPECT_EQ(line.size(), FrameFIFO::MAX_BYTES);
    quorin::CardText frame = line.getFrame();
    EXPECT_EQ(frame.size(), FrameFIFO::MAX_BYTES - 1);
    EXPECT_EQ(frame.back(), 'Z');
}
