#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <stdexcept>

#include "common/stdafx.h"

using namespace quorin;

TEST(HexReading, ChunksOfTwoWithStrtoulRules) {
    EXPECT_TRUE(H2BV("").empty());
    EXPECT_EQ(H2BV("0a0B"), (std::vector<unsigned char>{0x0A, 0x0B}));
    // Odd length: the last digit is a byte of its own.
    EXPECT_EQ(H2BV("ABC"), (std::vector<unsigned char>{0xAB, 0x0C}));
    // Reading stops at the first non-digit; no digit gives 0; a sign is read.
    EXPECT_EQ(H2BV("1G"), (std::vector<unsigned char>{0x01}));
    EXPECT_EQ(H2BV("zz"), (std::vector<unsigned char>{0x00}));
    EXPECT_EQ(H2BV("-1"), (std::vector<unsigned char>{0xFF}));
    EXPECT_EQ(H2BV(" 7"), (std::vector<unsigned char>{0x07}));
}

TEST(HexReading, H2BCopiesOnlyWhenItFits) {
    unsigned char buffer[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    int length = 2;  // one short of the three decoded bytes
    H2B("010203", buffer, &length);
    EXPECT_EQ(length, 3);
    EXPECT_EQ(buffer[0], 0xEE);
    length = 3;
    H2B("010203", buffer, &length);
    EXPECT_EQ(length, 3);
    EXPECT_EQ(buffer[2], 0x03);
    EXPECT_EQ(buffer[3], 0xEE);
    length = 0;
    H2B("0102", nullptr, &length);
    EXPECT_EQ(length, 2);
}

TEST(HexWriting, UpperCaseAndNumberForms) {
    EXPECT_EQ(BV2H({0xAB, 0x01}), "AB01");
    EXPECT_EQ(BV2H({}), "");
    EXPECT_EQ(B2H(nullptr, 3), "");
    EXPECT_EQ(I2HEX(256), "0100");
    EXPECT_EQ(I2HEX(0), "00");
    EXPECT_EQ(I2HEX(-5), "00");
    EXPECT_EQ(I2HEX(0x7FFFFFFF), "7FFFFFFF");
    EXPECT_EQ(UL2HEX(1), "0000000000000001");
    EXPECT_EQ(US2HEX4(0xBEEF), "BEEF");
    EXPECT_EQ(UL2HEX8(0x1F), "0000001F");
    EXPECT_EQ(ASCII2H("JK"), "4A4B");
    EXPECT_EQ(H2ASCII("4A004B"), "J");
}

TEST(HexConversion, ConvertASCIIHexToByteArrayPairsAndBounds) {
    unsigned char out[8] = {0};
    int n = -1;
    EXPECT_EQ(ConvertASCIIHexToByteArray("12345", out, &n), 0);
    ASSERT_EQ(n, 2);
    EXPECT_EQ(out[0], 0x12);
    EXPECT_EQ(out[1], 0x34);
    // A non-digit counts as -1 in the sum.
    ConvertASCIIHexToByteArray("G00G", out, &n);
    ASSERT_EQ(n, 2);
    EXPECT_EQ(out[0], 0xF0);
    EXPECT_EQ(out[1], 0xFF);
    // The bounded form never writes past its target: the bytes after the
    // first two of one array stay as they were.
    unsigned char area[4] = {0, 0, 0x5A, 0x5A};
    ConvertASCIIHexToByteArray("AABBCCDD", area, &n, 2);
    EXPECT_EQ(n, 2);
    EXPECT_EQ(area[0], 0xAA);
    EXPECT_EQ(area[1], 0xBB);
    EXPECT_EQ(area[2], 0x5A);
    EXPECT_EQ(area[3], 0x5A);
}

TEST(HexConversion, ByteArrayToHexStrStopsBeforeOverflow) {
    const unsigned char bytes[3] = {0x01, 0xAB, 0xFF};
    char out[8];
    std::memset(out, 'x', sizeof(out));
    ByteArrayToHexStr(bytes, 3, out, 6);
    EXPECT_STREQ(out, "01AB");
    EXPECT_EQ(out[6], 'x');
    ByteArrayToHexStr(bytes, 0, out, 6);
    EXPECT_STREQ(out, "");
    ByteArrayToHexStr(bytes, 3, out, 7);
    EXPECT_STREQ(out, "01ABFF");
}

TEST(HexConversion, HexToASCIIUsesOneBoundedBuffer) {
    EXPECT_STREQ(HexToASCII("4A4B"), "JK");
    EXPECT_STREQ(HexToASCII("4A4"), "J");
    std::string longHex(20000, '4');  // 10000 bytes of '4' cannot all fit
    const char* text = HexToASCII(longHex.c_str());
    EXPECT_EQ(std::strlen(text), 8191u);
}

TEST(Strings, SplitTrimAndCase) {
    EXPECT_EQ(SPLIT("a,,b", ","), (std::vector<std::string>{"a", "", "b"}));
    EXPECT_EQ(SPLIT("a,b,", ","), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(SPLIT(",a", ","), (std::vector<std::string>{"", "a"}));
    EXPECT_TRUE(SPLIT("", ",").empty());
    EXPECT_EQ(SPLIT("abc", ""), (std::vector<std::string>{"abc"}));
    EXPECT_EQ(SPLIT("a::b", "::"), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(TRIM(" \tx y\r "), "x y\r");
    EXPECT_EQ(trimString(" \tx y\r\n"), "x y");
    EXPECT_EQ(trimString("\r\n\t "), "");
    EXPECT_EQ(TRIMLEFT("  a "), "a ");
    EXPECT_EQ(TRIMRIGHT("  a "), "  a");
    EXPECT_EQ(UPPER("serial://x"), "SERIAL://X");
    EXPECT_EQ(LOWER("ABC"), "abc");
    EXPECT_EQ(DUP("ab", 3), "ababab");
    EXPECT_EQ(DUP("ab", -1), "");
    std::string s = "abc";
    EXPECT_EQ(REVERSE(s), "cba");
    EXPECT_TRUE(ALL("", [](int) { return false; }));
    EXPECT_FALSE(ALL("12a", [](int c) { return c >= '0' && c <= '9'; }));
    EXPECT_TRUE(IS_ALPHA_NUEx('z'));
    EXPECT_FALSE(IS_ALPHA_NUEx('/'));
}

TEST(Strings, EscapeAndWideText) {
    EXPECT_EQ(ESCAPE("a/b"), "a\\/b");
    EXPECT_EQ(ESCAPE("\"\\\b\f\n\r\t"), "\\\"\\\\\\b\\f\\n\\r\\t");
    EXPECT_EQ(ESCAPE(std::string(1, '\x01')), std::string(1, '\x01'));
    EXPECT_EQ(ws2s(L"SN\u00e9"), "SN\xc3\xa9");
    EXPECT_EQ(s2ws("SN\xc3\xa9"), L"SN\u00e9");
    EXPECT_THROW(s2ws("\xff\xfe"), std::range_error);
}

TEST(HexReading, RandomTextNeverCrashes) {
    std::mt19937 rng(1234);
    for (int i = 0; i < 2000; ++i) {
        std::string text(rng() % 64, '\0');
        for (char& c : text) {
            c = static_cast<char>(rng() % 256);
        }
        std::vector<unsigned char> bytes = H2BV(text);
        EXPECT_EQ(bytes.size(), (text.size() + 1) / 2);
        unsigned char out[32];
        int n = 0;
        std::string terminated = text.c_str();
        ConvertASCIIHexToByteArray(terminated.c_str(), out, &n, sizeof(out));
        EXPECT_LE(n, 32);
    }
}
