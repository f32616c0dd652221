#include <gtest/gtest.h>

#include <string>

#include "common/stdafx.h"
#include "filters/LegacyQuill.h"

using namespace quorin;

namespace {

std::string lineHex(const std::string& text) {
    return ASCII2H(text) + "0D";
}

}  // namespace

TEST(LegacyQuillTest, CommandsGoOutAsHexTextLines) {
    LegacyQuill legacy;
    std::string name;
    quorin::CardText data;
    int id = 0;
    EXPECT_EQ(legacy.FilterOutput("0102", name, id, data), 5);
    EXPECT_EQ(data, "303130320D");
    EXPECT_EQ(id, 1);
    EXPECT_EQ(name, "COMMAND");
    EXPECT_EQ(legacy.FilterOutput("1A2B", name, id, data), 5);
    EXPECT_EQ(data, "314132420D");
}

TEST(LegacyQuillTest, UpperHexLinesAreResponsesEverythingElseCardData) {
    LegacyQuill legacy;
    std::string name;
    quorin::CardText data;
    int id = 0;
    EXPECT_EQ(legacy.FilterInput(lineHex("0012AB"), name, id, data), 3);
    EXPECT_EQ(id, 2);
    EXPECT_EQ(name, "RESPONSE");
    EXPECT_EQ(data, "0012AB");

    EXPECT_EQ(legacy.FilterInput(lineHex("%B1234^X?"), name, id, data), 4);
    EXPECT_EQ(id, 17);
    EXPECT_EQ(name, "CARD_DATA");
    EXPECT_EQ(data, "%B1234^X?");

    legacy.FilterInput(lineHex("0a0b"), name, id, data);
    EXPECT_EQ(id, 17);
    EXPECT_EQ(data, "0a0b");

    // Card text keeps bytes that are not printable, and a one-character line
    // is delivered although its byte count rounds down to 0.
    legacy.FilterInput("C0FF00410D", name, id, data);
    EXPECT_EQ(id, 17);
    EXPECT_EQ(data, std::string("\xC0\xFF\x00\x41", 4));
    EXPECT_EQ(legacy.FilterInput(lineHex("Z"), name, id, data), 0);
    EXPECT_EQ(data, "Z");
}

TEST(LegacyQuillTest, LinesAcrossChunksAndSeveralPerChunk) {
    LegacyQuill legacy;
    std::string name;
    quorin::CardText data;
    int id = 0;
    EXPECT_EQ(legacy.FilterInput(ASCII2H("00"), name, id, data), -1);
    EXPECT_EQ(legacy.FilterInput(lineHex("12") + lineHex("AB") + ASCII2H("CD"), name, id, data), 2);
    EXPECT_EQ(data, "0012");
    EXPECT_EQ(legacy.FilterInput("", name, id, data), 1);
    EXPECT_EQ(data, "AB");
    EXPECT_EQ(legacy.FilterInput("", name, id, data), -1);
    EXPECT_EQ(legacy.FilterInput("0D", name, id, data), 1);
    EXPECT_EQ(data, "CD");

    // An empty line is skipped: the reply after it is still a response.
    EXPECT_EQ(legacy.FilterInput("0D" + lineHex("01"), name, id, data), 1);
    EXPECT_EQ(id, 2);
    EXPECT_EQ(data, "01");
}
