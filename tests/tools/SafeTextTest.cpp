// Reader texts reach the terminal escaped.
#include <gtest/gtest.h>

#include "SafeText.h"

using quorin::cli::safeText;

TEST(SafeTextTest, OnlyPrintableAsciiPassesUnchanged) {
    EXPECT_EQ(safeText("HID://SN-1 (ePivra)"), "HID://SN-1 (ePivra)");
    EXPECT_EQ(safeText("SN\x1b]0;owned\x07"), "SN\\x1B]0;owned\\x07");
    EXPECT_EQ(safeText("a\nb\rc\td"), "a\\x0Ab\\x0Dc\\x09d");
    // C1 controls and other bytes outside ASCII, and DEL.
    EXPECT_EQ(safeText("\xc2\x9b"
                       "2J\x7f"),
              "\\xC2\\x9B2J\\x7F");
    // A backslash is doubled, so an escape in the output is always the tool's.
    EXPECT_EQ(safeText("C:\\x41"), "C:\\\\x41");
    EXPECT_EQ(safeText(std::string("a\0b", 3)), "a\\x00b");
}
