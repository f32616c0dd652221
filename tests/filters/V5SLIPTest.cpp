#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/stdafx.h"
#include "filters/RLE.h"
#include "filters/V5SLIP.h"

using namespace quorin;

namespace {

struct Frame {
    int result = 0;
    std::string name;
    int id = 0;
    quorin::CardText data;
};

Frame input(V5SLIP& slip, const std::string& hex) {
    Frame f;
    f.result = slip.FilterInput(hex, f.name, f.id, f.data);
    return f;
}

}  // namespace

TEST(V5SLIPTest, OutputFramesAndStuffsCommands) {
    V5SLIP slip;
    std::string name;
    quorin::CardText data;
    int id = 0;
    EXPECT_EQ(slip.FilterOutput("0102", name, id, data), 7);
    EXPECT_EQ(data, "C00500020102C0");
    EXPECT_EQ(name, "COMMAND");
    EXPECT_EQ(id, 5);

    EXPECT_EQ(slip.FilterOutput("C0DB", name, id, data), 9);
    EXPECT_EQ(data, "C0050002DBDCDBDDC0");

    EXPECT_EQ(slip.FilterOutput("", name, id, data), 5);
    EXPECT_EQ(data, "C0050000C0");

    // The length field is stuffed too when one of its bytes is C0 or DB.
    std::string cmd = DUP("11", 0xC0);
    EXPECT_EQ(slip.FilterOutput(cmd, name, id, data), 3 + 2 + 0xC0 + 1);
    EXPECT_EQ(data.substr(0, 10), "C00500DBDC");
}

TEST(V5SLIPTest, OutputRefusesCommandsBeyondTheLengthField) {
    V5SLIP slip;
    std::string name;
    quorin::CardText data;
    int id = 0;
    EXPECT_GT(slip.FilterOutput(DUP("00", 0xFFFF), name, id, data), 0);
    EXPECT_EQ(data.substr(0, 8), "C005FFFF");

    data = "stale";
    EXPECT_LT(slip.FilterOutput(DUP("00", 0x10000), name, id, data), 0);
    EXPECT_TRUE(data.empty());
}

TEST(V5SLIPTest, InputClassifiesFrameTypes) {
    V5SLIP slip;
    Frame f = input(slip, "C00400020005C0");
    EXPECT_EQ(f.result, 2);
    EXPECT_EQ(f.id, 2);
    EXPECT_EQ(f.name, "RESPONSE");
    EXPECT_EQ(f.data, "0005");

    // Plain card data and notifications lose their header.
    f = input(slip, "C0000002AABBC0");
    EXPECT_EQ(f.id, 17);
    EXPECT_EQ(f.name, "CARD DATA");
    EXPECT_EQ(f.data, "AABB");
    f = input(slip, "C0020003010203C0");
    EXPECT_EQ(f.id, 3);
    EXPECT_EQ(f.name, "NOTIFICATION");
    EXPECT_EQ(f.data, "010203");

    // A command frame (reader echo) reports channel 1.
    f = input(slip, "C00500010AC0");
    EXPECT_EQ(f.id, 1);
    EXPECT_EQ(f.data, "0A");

    // Run-length encoded frames keep their header in front of the decoded data.
    f = input(slip, "C0030005414105C0");
    EXPECT_EQ(f.id, 3);
    EXPECT_EQ(f.data, "0300054141414141");
    EXPECT_EQ(f.result, 8);
    f = input(slip, "C00100044142434302C0");
    EXPECT_EQ(f.id, 17);
    EXPECT_EQ(f.data, "01000441424343");
    // The filter says so, frame by frame, for the connection to drop it.
    EXPECT_EQ(slip.keptHeaderBytes(), 3u);
    f = input(slip, "C00000024142C0");
    EXPECT_EQ(slip.keptHeaderBytes(), 0u);
    f = input(slip, "C0030005414105C0");
    EXPECT_EQ(slip.keptHeaderBytes(), 3u);
    EXPECT_EQ(input(slip, "").result, -1);
    EXPECT_EQ(slip.keptHeaderBytes(), 0u);
    f = input(slip, "C0030004414105C0");  // refused: decodes to 5 bytes, not 4
    EXPECT_TRUE(f.data.empty());
    EXPECT_EQ(slip.keptHeaderBytes(), 0u);
}

TEST(V5SLIPTest, InputDropsMalformedFrames) {
    V5SLIP slip;
    // Length field disagrees with the data: channel set, no data, refused;
    // a response cut short or announcing 0xFFFF bytes too.
    for (const char* frame : {"C0000003AABBC0",
                              "C00400060004"
                              "11C0",
                              "C004FFFF000411C0"}) {
        Frame f = input(slip, frame);
        EXPECT_EQ(f.result, 0) << frame;
        EXPECT_EQ(f.id, frame[3] == '4' ? 2 : 17) << frame;
        EXPECT_TRUE(f.data.empty()) << frame;
        EXPECT_TRUE(slip.refusedFrame()) << frame;
    }
    Frame f;

    // Too short after unstuffing, and unknown types: nothing set at all.
    for (const char* frame : {"C0040001C0", "C0DBDCDBDDC0", "C007000141C0", "C0FF000141C0"}) {
        f = input(slip, frame);
        EXPECT_EQ(f.result, 0) << frame;
        EXPECT_EQ(f.id, 0) << frame;
        EXPECT_TRUE(f.data.empty()) << frame;
        EXPECT_FALSE(slip.refusedFrame()) << frame;  // noise, not a message
    }

    // Run-length data whose decoded size misses the length field.
    f = input(slip, "C0030004414105C0");
    EXPECT_EQ(f.result, 0);
    EXPECT_TRUE(f.data.empty());
    // A cut-off run decodes to nothing; with a length field of 0 only the header remains.
    f = input(slip, "C00100004141C0");
    EXPECT_EQ(f.data, "010000");
    f = input(slip, "C00100024141C0");
    EXPECT_TRUE(f.data.empty());
}

TEST(V5SLIPTest, InputUnstuffsInOnePass) {
    V5SLIP slip;
    Frame f = input(slip, "C0040004DBDCDBDDDB41C0");
    EXPECT_EQ(f.data, "C0DBDB41");
    // DB DB DC: the first DB is kept, the pair after it becomes C0.
    f = input(slip, "C0040003DBDBDC41C0");
    EXPECT_EQ(f.data, "DBC041");
    // A trailing escape byte stays as it is.
    f = input(slip, "C004000241DBC0");
    EXPECT_EQ(f.data, "41DB");
}

TEST(V5SLIPTest, InputReassemblesAndDrainsFrameByFrame) {
    V5SLIP slip;
    EXPECT_EQ(input(slip, "C0040002").result, -1);
    Frame f = input(slip, "0005C0");
    EXPECT_EQ(f.result, 2);
    EXPECT_EQ(f.data, "0005");

    // Garbage without a marker between frames is dropped; one call, one frame.
    f = input(slip, "1122C0040001AAC03344C0040001BBC0");
    EXPECT_EQ(f.data, "AA");
    f = input(slip, "");
    EXPECT_EQ(f.data, "BB");
    EXPECT_EQ(input(slip, "").result, -1);
}

TEST(V5SLIPTest, RunLengthDecodingLimits) {
    V5SLIP slip;
    // 16 runs of 255 = 4080 bytes, plus 17 more = 4097; 257 runs = 65,535,
    // the most the length field announces: accepted.
    Frame f = input(slip, "C0031001" + DUP("5A5AFF", 16) + "5A5A11" + "C0");
    EXPECT_EQ(f.result, 3 + 4097);
    f = input(slip, "C001FFFF" + DUP("5A5AFF", 257) + "C0");
    EXPECT_EQ(f.result, 3 + 0xFFFF);
    EXPECT_FALSE(slip.refusedFrame());
    // One byte more than the length field: refused.
    f = input(slip, "C001FFFF" + DUP("5A5AFF", 257) + "5A" + "C0");
    EXPECT_EQ(f.result, 0);
    EXPECT_TRUE(f.data.empty());
    EXPECT_TRUE(slip.refusedFrame());

    quorin::CardBytes payload = {0x03, 0x00, 0x02, 0x41, 0x41, 0x02};
    EXPECT_EQ(BV2H(slip.ValidateRLE(payload)), "0300024141");
    EXPECT_TRUE(slip.ValidatePlainData({0x00, 0x00}).empty());
    EXPECT_TRUE(slip.ValidateRLE({0x01}).empty());
}

TEST(RLETest, DecodeRLEDataRunsAndFailures) {
    unsigned char out[16];
    unsigned long len = sizeof(out);
    const unsigned char cut[] = {0x41, 0x41};
    EXPECT_EQ(DecodeRLEData(cut, 2, out, &len), RLE_CUT_RUN);

    const unsigned char zero[] = {0x41, 0x41, 0x00};
    len = sizeof(out);
    EXPECT_EQ(DecodeRLEData(zero, 3, out, &len), RLE_OK);
    EXPECT_EQ(len, 0u);

    const unsigned char mixed[] = {0x41, 0x42, 0x41, 0x41, 0x03};
    len = sizeof(out);
    EXPECT_EQ(DecodeRLEData(mixed, 5, out, &len), RLE_OK);
    EXPECT_EQ(B2H(out, static_cast<int>(len)), "4142414141");

    len = 0;
    EXPECT_EQ(DecodeRLEData(nullptr, 0, out, &len), RLE_OK);
    EXPECT_EQ(len, 0u);
}

TEST(RLETest, DecodingNeverWritesPastTheCapacity) {
    unsigned char out[12];
    std::fill(out, out + sizeof(out), 0xEE);
    const unsigned char run[] = {0x41, 0x41, 0xFF};
    unsigned long len = 8;
    EXPECT_EQ(DecodeRLEData(run, 3, out, &len), RLE_OVERFLOW);
    for (size_t i = 8; i < sizeof(out); ++i) {
        EXPECT_EQ(out[i], 0xEE) << i;
    }
    const unsigned char singles[] = {1, 2, 3, 4, 5, 6, 7, 8, 9};
    len = 8;
    EXPECT_EQ(DecodeRLEData(singles, 9, out, &len), RLE_OVERFLOW);
    EXPECT_EQ(len, 8u);
    EXPECT_EQ(out[8], 0xEE);

    RLE small(4);
    EXPECT_EQ(small.decode(std::string("414104")), "41414141");
    EXPECT_EQ(small.decode(std::string("414105")), "");
    EXPECT_TRUE(small.decode(std::vector<unsigned char>{0x41, 0x41}).empty());
}
