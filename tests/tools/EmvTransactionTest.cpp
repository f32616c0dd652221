// The pieces of `quorin emv` that do not need a reader: the start command's
// data and the decoding of the reader's TLV messages.
#include <gtest/gtest.h>

#include "CliError.h"
#include "EmvTransaction.h"
#include "EventPrinter.h"
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
    // Numeric codes only: hex digits would reach the reader as a bogus BCD code.
    for (const char* currency : {"", "84", "08400", "EURO", "12G4", "0ABC", "ABC", "1840"}) {
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

TEST(EmvTransactionTest, OnlyAnApprovalIsApproved) {
    auto outcome = [](const std::string& hex) { return transactionOutcome(hexBytes(hex)); };
    EXPECT_EQ(outcome("F905DFDF1A0100"), "approved");
    EXPECT_EQ(outcome("F905DFDF1A0101"), "declined");
    EXPECT_EQ(outcome("F905DFDF1A0102"), "cancelled");
    // An outcome byte the tool does not know is not taken for an approval,
    // even with an approving response code beside it.
    EXPECT_EQ(outcome("F909DFDF1A01FF8A023030"), "unknown");
    EXPECT_EQ(outcome("F9049F2701FF"), "unknown");
    EXPECT_EQ(outcome(""), "unknown");
    EXPECT_EQ(outcome("8A023030"), "approved");
    EXPECT_EQ(outcome("8A023035"), "declined");
}

TEST(EmvTransactionTest, AcquirerResponsesAreCheckedBeforeUse) {
    EXPECT_EQ(acquirerResponseHex("approve"), "8A023030");
    EXPECT_EQ(acquirerResponseHex("decline"), "8A023035");
    EXPECT_EQ(acquirerResponseHex("8a023030"), "8A023030");
    EXPECT_EQ(acquirerResponseHex(""), "");
    EXPECT_EQ(acquirerResponseHex("8A0230309F0201AA"), "8A0230309F0201AA");
    // Hex that is not TLV: a lone tag, a length beyond the data, data left over.
    for (const char* bad :
         {"maybe", "8A0", "8A 02", "APPROVE", "9F02", "8A0330", "8A013030", "00"}) {
        EXPECT_THROW(acquirerResponseHex(bad), CliError) << bad;
    }
}

TEST(EmvTransactionTest, ClearCardDataIsWithheldAtAnyDepth) {
    // F9 { 5A <8>, FA { 70 { 57 <8>, 5F20 "AB", 9F26 <2> } }, 9F6B <2> }
    const std::string data =
        "F927"
        "5A084111111111111111"
        "FA16"
        "7014"
        "57084111111111111111"
        "5F20024142"
        "9F26021234"
        "9F6B02AABB";
    std::vector<WithheldValue> withheld;
    std::string shown = withholdCardData(hexBytes(data), &withheld);
    EXPECT_EQ(shown,
              "F927"
              "5A08****************"
              "FA16"
              "7014"
              "5708****************"
              "5F2002****"
              "9F26021234"
              "9F6B02****");
    ASSERT_EQ(withheld.size(), 4u);
    EXPECT_EQ(tagName(withheld[0].tag), "5A");
    EXPECT_EQ(withheld[0].length, 8u);
    EXPECT_EQ(tagName(withheld[2].tag), "5F20");
    EXPECT_EQ(tagName(withheld[3].tag), "9F6B");
    EXPECT_EQ(shown.find("4111"), std::string::npos);

    // From the first element that does not parse, nothing is shown: the
    // rest of its template is withheld with its length. Each row hides a
    // clear account number behind an element a reader may send malformed.
    const struct {
        const char* data;
        const char* shownBefore;  // what is shown before the rest withheld
        size_t rest;              // bytes withheld as unreadable
    } MALFORMED[] = {
        {"5A0241119F", "5A02****", 1},                   // a tag cut short
        {"48454C4C4F", "", 5},                           // not TLV at all
        {"000A5A084111111111111111", "00", 11},          // a two-byte length prefix
        {"E1805A084111111111111111", "", 12},            // an indefinite length
        {"5F2084000000085A084111111111111111", "", 17},  // a four-byte length of length
        // 5A overruns its template E1: the rest of E1, then the rest after it
        {"E1069F2602AABB5A084111111111111111", "E1069F2602AABB**", 9},
        {"9F2602AABB0000", "9F2602AABB0000", 0},  // trailing padding is shown
    };
    for (const auto& row : MALFORMED) {
        withheld.clear();
        const std::string shown = withholdCardData(hexBytes(row.data), &withheld);
        EXPECT_EQ(shown, row.shownBefore + std::string(2 * row.rest, '*')) << row.data;
        EXPECT_EQ(shown.find("4111"), std::string::npos) << row.data;
        const size_t rest =
            !withheld.empty() && withheld.back().tag == UNPARSED_REST ? withheld.back().length : 0;
        EXPECT_EQ(rest, row.rest) << row.data;
    }

    // Constructed values deeper than the tool looks are withheld whole.
    Bytes nested = hexBytes("5A0141");
    for (int i = 0; i < 12; ++i) {
        Bytes outer = {0xE0, static_cast<uint8_t>(nested.size())};
        outer.insert(outer.end(), nested.begin(), nested.end());
        nested = outer;
    }
    withheld.clear();
    EXPECT_EQ(withholdCardData(nested, &withheld).find("5A0141"), std::string::npos);
    EXPECT_EQ(withheld.size(), 1u);
}

TEST(EmvTransactionTest, PrinterWithholdsUnlessAsked) {
    const std::string data = "5A084111111111111111";
    std::vector<WithheldValue> withheld;
    EXPECT_EQ(EventPrinter(false).shownData(data, &withheld), "5A08****************");
    EXPECT_EQ(EventPrinter::withheldNote(withheld),
              "  (card data not shown: 5A 8 bytes; --show-card-data shows it)\n");
    withheld.clear();
    EXPECT_EQ(EventPrinter(true, true).shownData(data, &withheld), data);
    EXPECT_TRUE(withheld.empty());
    // Text that is not even hex is not shown either.
    EXPECT_EQ(EventPrinter(false).shownData("5A08 4111111111111111", &withheld),
              std::string(21, '*'));
    EXPECT_EQ(EventPrinter::withheldNote(withheld),
              "  (card data not shown: the unreadable rest 10 bytes; --show-card-data shows it)\n");
}
