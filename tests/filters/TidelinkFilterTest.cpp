#include <gtest/gtest.h>

#include <string>

#include "common/stdafx.h"
#include "filters/TidelinkFilter.h"

using namespace quorin;

namespace {

std::string lineHex(const std::string& text) {
    return ASCII2H(text) + "0D";
}

}  // namespace

TEST(TidelinkFilterTest, CommandsGoOutAsBytesWithCarriageReturn) {
    TidelinkFilter tidelink;
    std::string name;
    quorin::CardText data;
    int id = 0;
    EXPECT_EQ(tidelink.FilterOutput("0102", name, id, data), 3);
    EXPECT_EQ(data, "01020D");
    EXPECT_EQ(id, 5);
    EXPECT_EQ(name, "COMMAND");
}

TEST(TidelinkFilterTest, LineTypesSelectTheChannel) {
    TidelinkFilter tidelink;
    std::string name;
    quorin::CardText data;
    int id = 0;
    EXPECT_EQ(tidelink.FilterInput(lineHex("0400AA"), name, id, data), 2);
    EXPECT_EQ(id, 2);
    EXPECT_EQ(name, "RESPONSE");
    EXPECT_EQ(data, "00AA");

    EXPECT_EQ(tidelink.FilterInput(lineHex("02C0"), name, id, data), 2);
    EXPECT_EQ(id, 3);
    EXPECT_EQ(name, "NOTIFICATION");
    EXPECT_EQ(data, "02C0");

    // One byte or less, or another type: dropped, nothing set.
    for (const char* line : {"04", "0", "05AA", "00AA"}) {
        id = 0;
        data.clear();
        EXPECT_EQ(tidelink.FilterInput(lineHex(line), name, id, data), 0) << line;
        EXPECT_EQ(id, 0) << line;
        EXPECT_TRUE(data.empty()) << line;
    }
}

TEST(TidelinkFilterTest, TwoLinesInOneChunkTakeTwoCalls) {
    TidelinkFilter tidelink;
    std::string name;
    quorin::CardText data;
    int id = 0;
    EXPECT_EQ(
        tidelink.FilterInput(lineHex("0401") + lineHex("0201") + ASCII2H("04"), name, id, data), 1);
    EXPECT_EQ(data, "01");
    EXPECT_EQ(tidelink.FilterInput("", name, id, data), 2);
    EXPECT_EQ(data, "0201");
    EXPECT_EQ(tidelink.FilterInput("", name, id, data), -1);
    EXPECT_EQ(tidelink.FilterInput(lineHex("FF"), name, id, data), 1);
    EXPECT_EQ(id, 2);
    EXPECT_EQ(data, "FF");
}
