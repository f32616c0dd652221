// The pieces of `quorin emv` that do not need a reader: the start command's
// data and the decoding of the reader's TLV messages.
#include <gtest/gtest.h>

#include "CliError.h"
#include "EmvTransaction.h"
#include "HexText.h"
#include "Tlv.h"

using namespace quorin::cli;

TEST(EmvTransactionTest, StartDataPacksAmountsAsBcd) {
    EmvOptions o;
    o.timeLimit = 60;
    o.cardType = 2;
    o.amount = "100";
    o.cashBack = "0";
    o.currency = "0840";
    EXPECT_EQ(transactionStartData(o),
              "3C0200000000000100000000000000000840"
              "00");
    o.amount = "999999999999";
    o.cashBack = "2500";
    o.currency = "978";  // three digits: numeric code, zero-padded
    o.transactionType = 0x09;
    o.mode = 1;
    EXPECT_EQ(transactionStartData(o),
              "3C0200999999999999090000000025000978"
              "01");
}

TEST(EmvTransactionTest, StartDataRefusesWhatCannotBeSent) {
    EmvOptions o;
    for (const char* amount : {"", "1000000000000", "12.50", "-5", "1e3", "0x10", "AB"}) {
        o.amount = amount;
        EXPECT_THROW(transactionStartData(o), CliError) << amount;
    }
    o.amount = "1";
    for (const char* currency : {"", "84", "08400", "EURO", "12G4"}) {
        o.currency = currency;
        EXPECT_THROW(transactionStartData(o), CliError) << currency;
    }
}

TEST(EmvTransactionTest, FindsTagsAtAnyDepth) {
    Bytes data;
    // F9 { DFDF1A 00, DFDF25 "AB", FA { 70 { 9F27 40, 8A "00" } } }
    ASSERT_TRUE(hexToBytes("F917DFDF1A0100DFDF25024142FA0A70089F2701408A023030", &data));
    EXPECT_EQ(findTag(data, 0xDFDF1A), Bytes{0x00});
    EXPECT_EQ(findTag(data, 0xDFDF25), (Bytes{0x41, 0x42}));
    EXPECT_EQ(findTag(data, 0x8A), (Bytes{0x30, 0x30}));
    EXPECT_EQ(findTag(data, 0x9F27), Bytes{0x40});
    EXPECT_FALSE(findTag(data, 0x9F26).has_value());
}

TEST(EmvTransactionTest, TlvReaderStaysInsideTruncatedOrHostileData) {
    Bytes data;
    ASSERT_TRUE(hexToBytes("F9209F2701", &data));  // F9 claims 0x20 bytes, has 3
    EXPECT_FALSE(findTag(data, 0x9F27).has_value());
    ASSERT_TRUE(hexToBytes("9F", &data));  // tag cut short
    EXPECT_FALSE(findTag(data, 0x9F27).has_value());
    ASSERT_TRUE(hexToBytes("8A84FFFFFFFF30", &data));  // four length bytes: refused
    EXPECT_FALSE(findTag(data, 0x8A).has_value());
    ASSERT_TRUE(hexToBytes("8A82000130", &data));  // long-form length
    EXPECT_EQ(findTag(data, 0x8A), Bytes{0x30});
    // Constructed values are followed only so deep.
    auto nest = [](int depth) {
        Bytes v = {0x8A, 0x01, 0x30};
        for (int i = 0; i < depth; ++i) {
            Bytes outer = {0xE0, static_cast<uint8_t>(v.size())};
            outer.insert(outer.end(), v.begin(), v.end());
            v = outer;
        }
        return v;
    };
    EXPECT_EQ(findTag(nest(3), 0x8A), Bytes{0x30});
    EXPECT_FALSE(findTag(nest(40), 0x8A).has_value());
}

TEST(EmvTransactionTest, CommandTextsTheToolSends) {
    EXPECT_TRUE(isCommandText("0003"));
    EXPECT_TRUE(isCommandText("0306:010000"));
    EXPECT_TRUE(isCommandText("0304:"));
    EXPECT_TRUE(isCommandText("abCD"));
    for (const char* bad : {"", "0", "003", "0G", "306:01", "0306:0", "0306:01:02", "00 03"}) {
        EXPECT_FALSE(isCommandText(bad)) << bad;
    }
}
