// What `quorin watch` shows of a swipe: only what the reader masked.
#include <gtest/gtest.h>

#include <vector>

#include "CardFields.h"

using quorin::cli::CardFields;

namespace {

// A card data string (32 fields joined by "|") with the given fields set.
struct CardString {
    std::vector<std::string> f = std::vector<std::string>(32, "");
    CardString() {
        f[0] = "0000000000000011";
        f[1] = "B1234";
        for (int i : {2, 3, 4, 5, 6, 8, 9, 10, 11, 12, 13, 14, 31}) {
            f[static_cast<size_t>(i)] = "0";
        }
        f[18] = "FFFF9876543210E00001";
    }
    CardString& set(int field, const std::string& text) {
        f[static_cast<size_t>(field - 1)] = text;
        return *this;
    }
    std::string str() const {
        std::string s = f[0];
        for (size_t i = 1; i < f.size(); ++i) {
            s += "|" + f[i];
        }
        return s;
    }
};

const std::string MASKED1 = "%B4111********1111^DOE/ALEX B^3012101000000000000?";
const std::string MASKED2 = ";4111********1111=30121010000000000000?";

CardString encryptingSwipe() {
    CardString c;
    c.set(20, "ALEX B").set(21, "DOE").set(22, "4111********1111").set(23, "12").set(24, "30");
    c.set(25, "9A0B77C1D2E3F4").set(26, "11223344556677");  // stand-in ciphertext hex
    c.set(28, MASKED1).set(29, MASKED2);
    return c;
}

}  // namespace

TEST(CardFieldsTest, ShowsMaskedTracksAndWhatIsDerivedFromThem) {
    CardFields card;
    ASSERT_TRUE(CardFields::parse(encryptingSwipe().str(), &card));
    EXPECT_EQ(card.masked[0], MASKED1);
    EXPECT_EQ(card.masked[1], MASKED2);
    EXPECT_EQ(card.masked[2], "");
    EXPECT_EQ(card.pan, "4111********1111");
    EXPECT_EQ(card.firstName, "ALEX B");
    EXPECT_EQ(card.lastName, "DOE");
    EXPECT_EQ(card.month, "12");
    EXPECT_EQ(card.year, "30");
    EXPECT_EQ(card.ksn, "FFFF9876543210E00001");
    EXPECT_EQ(card.serialNumber, "B1234");
    EXPECT_EQ(card.readerId, 0x11);
    EXPECT_FALSE(card.withheld);
}

TEST(CardFieldsTest, WithholdsTracksAReaderDidNotMask) {
    // The clear tracks in the masked fields: a reader that neither encrypts
    // nor masks (the track fields hold the same texts), and one that
    // encrypts but is set not to mask (the track fields hold ciphertext).
    const std::string t1 = "%B4111111111111111^DOE/ALEX^3012101000000000000?";
    const std::string t2 = ";4111111111111111=30121010000000000000?";
    for (const std::string& ciphertext : {std::string(), std::string("9A0B77C1D2E3F4")}) {
        CardString clear;
        clear.set(25, ciphertext.empty() ? t1 : ciphertext).set(26, ciphertext.empty() ? t2 : "");
        clear.set(28, t1).set(29, t2);
        clear.set(20, "ALEX")
            .set(21, "DOE")
            .set(22, "4111111111111111")
            .set(23, "12")
            .set(24, "30");
        CardFields card;
        ASSERT_TRUE(CardFields::parse(clear.str(), &card));
        EXPECT_EQ(card.masked[0], "");
        EXPECT_EQ(card.masked[1], "");
        EXPECT_EQ(card.pan, "");
        EXPECT_EQ(card.firstName, "");
        EXPECT_EQ(card.month, "");
        EXPECT_TRUE(card.withheld);
        // Each withheld with its length.
        ASSERT_EQ(card.withheldFields.size(), 6u);
        EXPECT_EQ(card.withheldFields[0].field, "maskedTracks[0]");
        EXPECT_EQ(card.withheldFields[0].length, t1.size());
        EXPECT_EQ(card.withheldFields[2].field, "pan");
        EXPECT_EQ(card.withheldFields[2].length, 16u);
        // Asked for, everything is shown as it is.
        ASSERT_TRUE(CardFields::parse(clear.str(), &card, true));
        EXPECT_EQ(card.masked[0], t1);
        EXPECT_EQ(card.pan, "4111111111111111");
        EXPECT_FALSE(card.withheld);
    }
}

TEST(CardFieldsTest, WithholdsCiphertextCopiedIntoTheMaskedFields) {
    // An encrypting reader's short report: the masked field holds the raw
    // track bytes, the track field their hex.
    CardString c;
    c.set(25, "4142434445").set(28, "ABCDE");                 // printable bytes of the ciphertext
    c.set(26, "01FF00").set(29, std::string("\x01\xff", 2));  // unprintable bytes
    CardFields card;
    ASSERT_TRUE(CardFields::parse(c.str(), &card));
    EXPECT_EQ(card.masked[0], "");
    EXPECT_EQ(card.masked[1], "");
    EXPECT_TRUE(card.withheld);
}

TEST(CardFieldsTest, WithholdsAPanThatIsNotInAShownMaskedTrack) {
    CardString c = encryptingSwipe();
    c.set(22, "4111111111111111");  // e.g. taken from a clear track
    CardFields card;
    ASSERT_TRUE(CardFields::parse(c.str(), &card));
    EXPECT_EQ(card.pan, "");
    EXPECT_EQ(card.masked[1], MASKED2);
    EXPECT_TRUE(card.withheld);
}

TEST(CardFieldsTest, RefusesAStringWithoutThirtyTwoFields) {
    CardFields card;
    EXPECT_FALSE(CardFields::parse("", &card));
    EXPECT_FALSE(CardFields::parse(encryptingSwipe().str() + "|extra", &card));
    CardString delimiterInText = encryptingSwipe();
    delimiterInText.set(20, "A|B");
    EXPECT_FALSE(CardFields::parse(delimiterInText.str(), &card));
}

TEST(CardFieldsTest, AMaskedAccountNumberShowsItsMasking) {
    // At most the first six and the last four digits, one mask character
    // in place of all the others.
    for (const char* masked : {"4111********1111", "411111******1111", "****************",
                               "4111XXXXXXXX1111", "4111#1"}) {
        EXPECT_TRUE(CardFields::isMaskedAccountNumber(masked)) << masked;
    }
    for (const char* clear : {"4111111111111111", "4111111*****11111", "4111111****1111",
                              "4111***-****1111", "4111        1111", "", "4111"}) {
        EXPECT_FALSE(CardFields::isMaskedAccountNumber(clear)) << clear;
    }
    EXPECT_TRUE(CardFields::carriesMasking(MASKED1));
    EXPECT_TRUE(CardFields::carriesMasking(MASKED2));
    EXPECT_FALSE(CardFields::carriesMasking("%CASAN JOSE^DOE$ALEX^1 MAIN ST^?"));
}
