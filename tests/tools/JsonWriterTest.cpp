// JSON output stays valid whatever bytes a reader sends.
#include <gtest/gtest.h>

#include "JsonWriter.h"

using quorin::cli::JsonWriter;

TEST(JsonWriterTest, NestsContainersWithCommas) {
    JsonWriter j;
    j.beginArray()
        .beginObject()
        .key("a")
        .value(1)
        .key("b")
        .beginArray()
        .value(true)
        .null()
        .value("x")
        .endArray()
        .endObject()
        .beginObject()
        .endObject()
        .endArray();
    EXPECT_EQ(j.str(), R"([{"a":1,"b":[true,null,"x"]},{}])");
}

TEST(JsonWriterTest, EscapesQuotesControlAndNonAsciiBytes) {
    EXPECT_EQ(JsonWriter::quote("a\"b\\c"), R"("a\"b\\c")");
    EXPECT_EQ(JsonWriter::quote("l1\nl2\t\r"), R"("l1\nl2\t\r")");
    EXPECT_EQ(JsonWriter::quote(std::string("\x01\x7f\xff", 3)), R"("\u0001\u007f\u00ff")");
    EXPECT_EQ(JsonWriter::quote(std::string("a\0b", 3)), R"("a\u0000b")");
}

TEST(JsonWriterTest, EmptyTextsCanBeNull) {
    JsonWriter j;
    j.beginObject().key("e").valueOrNull("").key("f").valueOrNull("v").endObject();
    EXPECT_EQ(j.str(), R"({"e":null,"f":"v"})");
}
