#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "reader/MsrDataParser.h"

using quorin::MsrDataParser;

namespace {

using Strings = std::vector<std::string_view>;
using Attributes = std::map<std::string, std::string>;

// Parses one ISO track 1 carrying the given name field and returns the
// name attributes it produced.
Attributes isoNames(const std::string& name, const std::string& account = "4111111111111111") {
    std::string track1 = "%B" + account + "^" + name + "^2512101?";
    MsrDataParser parser(track1.c_str(), "", "", 0);
    Attributes out;
    for (const char* key :
         {"Surname", "FirstName", "MiddleInitial", "Title", "Suffix", "CountryCode"}) {
        std::string value(parser.GetAttribute(key));
        if (!value.empty()) {
            out[key] = value;
        }
    }
    return out;
}

}  // namespace

TEST(MsrDataParserHelpers, RemoveSentinelsOnlyWhenTheEndSentinelIsThere) {
    EXPECT_EQ(MsrDataParser::removeSentinels("%ABC?", "%", "?"), "ABC");
    EXPECT_EQ(MsrDataParser::removeSentinels("%ABC", "%", "?"), "%ABC");
    EXPECT_EQ(MsrDataParser::removeSentinels("ABC?", "%", "?"), "ABC");
    EXPECT_EQ(MsrDataParser::removeSentinels("?", "%", "?"), "");
    EXPECT_EQ(MsrDataParser::removeSentinels("", "%", "?"), "");
    EXPECT_EQ(MsrDataParser::removeSentinels(";1=2?", ";", "?"), "1=2");
}

TEST(MsrDataParserHelpers, SplitStringSkipsEmptyPiecesAndTrimsTheOthers) {
    EXPECT_EQ(MsrDataParser::splitString("A^^B^", "^"), (Strings{"A", "B"}));
    EXPECT_EQ(MsrDataParser::splitString("A^ ^B", "^"), (Strings{"A", "", "B"}));
    EXPECT_EQ(MsrDataParser::splitString("^ A \t^B\r\n", "^"), (Strings{"A", "B"}));
    EXPECT_EQ(MsrDataParser::splitString("", "^"), Strings{});
    EXPECT_EQ(MsrDataParser::splitString("^^^", "^"), Strings{});
    EXPECT_EQ(MsrDataParser::splitString("ABC", "^"), Strings{"ABC"});
    EXPECT_EQ(MsrDataParser::splitString("ABC", ""), Strings{"ABC"});
}

TEST(MsrDataParserHelpers, TrimStringRemovesTheGivenCharactersAtBothEnds) {
    EXPECT_EQ(MsrDataParser::trimString(" \tA B\r\n", " \t\r\n"), "A B");
    EXPECT_EQ(MsrDataParser::trimString("^^123 MAIN^ST^^", "^"), "123 MAIN^ST");
    EXPECT_EQ(MsrDataParser::trimString("^^^", "^"), "");
    EXPECT_EQ(MsrDataParser::trimString("", "^"), "");
}

TEST(MsrDataParserIso, FullTrack1GivesEveryField) {
    MsrDataParser parser("%B4111111111111111^DOE/ALEX B.DR^2512101123?", "", "", -1);
    EXPECT_EQ(parser.GetFormat(), "ISO");
    EXPECT_EQ(parser.GetAttribute("AccountNumber"), "4111111111111111");
    EXPECT_EQ(parser.GetAttribute("Name"), "DOE/ALEX B.DR");
    EXPECT_EQ(parser.GetAttribute("Surname"), "DOE");
    EXPECT_EQ(parser.GetAttribute("FirstName"), "ALEX");
    EXPECT_EQ(parser.GetAttribute("MiddleInitial"), "B");
    EXPECT_EQ(parser.GetAttribute("Title"), "DR");
    EXPECT_EQ(parser.GetAttribute("ExpirationDate"), "2512");
    EXPECT_EQ(parser.GetAttribute("ServiceCode"), "101");
    EXPECT_EQ(parser.GetAttribute("Track1DiscretionaryData"), "123");
    EXPECT_EQ(parser.GetAttribute("Track2DiscretionaryData"), "");
}

TEST(MsrDataParserIso, NameFieldForms) {
    EXPECT_EQ(
        isoNames("ALEX B DOE JR"),
        (Attributes{
            {"FirstName", "ALEX"}, {"MiddleInitial", "B"}, {"Surname", "DOE"}, {"Suffix", "JR"}}));
    EXPECT_EQ(isoNames("ALEX B DOE JR III ESQ MORE"), (Attributes{{"FirstName", "ALEX"},
                                                                  {"MiddleInitial", "B"},
                                                                  {"Surname", "DOE"},
                                                                  {"Suffix", "JR III ESQ"}}));
    EXPECT_EQ(isoNames("ALEX DOE"), (Attributes{{"FirstName", "ALEX"}, {"Surname", "DOE"}}));
    EXPECT_EQ(isoNames("ALEX"), (Attributes{{"FirstName", "ALEX"}}));
    EXPECT_EQ(isoNames("/ALEX B"), (Attributes{{"FirstName", "ALEX"}, {"MiddleInitial", "B"}}));
    EXPECT_EQ(isoNames("DOE/"), (Attributes{{"Surname", "DOE"}}));
    EXPECT_EQ(isoNames("DOE /ALEX  "), (Attributes{{"Surname", "DOE"}, {"FirstName", "ALEX"}}));
    // More than one '/' is read as words.
    EXPECT_EQ(isoNames("A/B/C"), (Attributes{{"FirstName", "A/B/C"}}));
    // Names made only of '/' have no piece to read.
    EXPECT_EQ(isoNames("/"), Attributes{});
    EXPECT_EQ(isoNames("///"), Attributes{});
}

TEST(MsrDataParserIso, CountryCodeBeforeTheSurnameOfAccountsStartingWith59) {
    EXPECT_EQ(isoNames("USADOE/ALEX", "5912345678"),
              (Attributes{{"CountryCode", "USA"}, {"Surname", "DOE"}, {"FirstName", "ALEX"}}));
    EXPECT_EQ(isoNames("US/ALEX", "5912345678"),
              (Attributes{{"CountryCode", "US"}, {"FirstName", "ALEX"}}));
    EXPECT_EQ(isoNames("USADOE/ALEX", "4912345678"),
              (Attributes{{"Surname", "USADOE"}, {"FirstName", "ALEX"}}));
}

TEST(MsrDataParserIso, EmptyNameFieldFallsBackToTrack2) {
    MsrDataParser parser("%B4111^^2512?", ";4111111111111111=25121010000?", "", 0);
    EXPECT_EQ(parser.GetFormat(), "ISO");
    EXPECT_EQ(parser.GetAttribute("AccountNumber"), "4111111111111111");
    EXPECT_EQ(parser.GetAttribute("ExpirationDate"), "2512");
    EXPECT_EQ(parser.GetAttribute("ServiceCode"), "101");
    EXPECT_EQ(parser.GetAttribute("Track2DiscretionaryData"), "0000");
    EXPECT_EQ(parser.GetAttribute("Name"), "");

    MsrDataParser failed("%B4111^^2512?", "", "", 0);
    EXPECT_EQ(failed.GetFormat(), "");
    EXPECT_EQ(failed.GetAttribute("AccountNumber"), "");
}

TEST(MsrDataParserIso, Track2AccountReplacesTrack1WhileTrack1ExpiryStays) {
    MsrDataParser parser("%B4111111111111111^DOE/ALEX^2512101?", ";4222222222222222=27099990000?",
                         "", 0);
    EXPECT_EQ(parser.GetFormat(), "ISO");
    EXPECT_EQ(parser.GetAttribute("AccountNumber"), "4222222222222222");
    EXPECT_EQ(parser.GetAttribute("ExpirationDate"), "2512");
    EXPECT_EQ(parser.GetAttribute("ServiceCode"), "101");
    EXPECT_EQ(parser.GetAttribute("Track2DiscretionaryData"), "0000");

    // A short track 1 data field leaves expiry and service code to track 2.
    MsrDataParser shortData("%B4111^DOE/ALEX^25?", ";4111=27099990000?", "", 0);
    EXPECT_EQ(shortData.GetAttribute("ExpirationDate"), "2709");
    EXPECT_EQ(shortData.GetAttribute("ServiceCode"), "999");
}

TEST(MsrDataParserIso, MissingEndSentinelKeepsTheStartSentinel) {
    MsrDataParser parser("%B4111111111111111^DOE/ALEX^2512101", "", "", 0);
    EXPECT_EQ(parser.GetFormat(), "ISO");
    EXPECT_EQ(parser.GetAttribute("AccountNumber"), "B4111111111111111");
    EXPECT_EQ(parser.GetAttribute("Surname"), "DOE");
}

TEST(MsrDataParserAamva, DriverLicenceTracks1And2) {
    MsrDataParser parser("%CASAN JOSE^DOE$ALEX$JR^123 MAIN ST^?", ";6360231234567890=251219900101?",
                         "", 1);
    EXPECT_EQ(parser.GetFormat(), "AAMVA");
    EXPECT_EQ(parser.GetAttribute("State"), "CA");
    EXPECT_EQ(parser.GetAttribute("City"), "SAN JOSE");
    EXPECT_EQ(parser.GetAttribute("Name"), "DOE$ALEX$JR");
    EXPECT_EQ(parser.GetAttribute("Surname"), "DOE");
    EXPECT_EQ(parser.GetAttribute("FirstName"), "ALEX");
    EXPECT_EQ(parser.GetAttribute("Suffix"), "JR");
    EXPECT_EQ(parser.GetAttribute("Address"), "123 MAIN ST");
    EXPECT_EQ(parser.GetAttribute("IIN"), "636023");
    EXPECT_EQ(parser.GetAttribute("AccountNumber"), "6360231234567890");
    EXPECT_EQ(parser.GetAttribute("LicenseNumber"), "1234567890");
    EXPECT_EQ(parser.GetAttribute("ExpirationDate"), "2512");
    EXPECT_EQ(parser.GetAttribute("BirthDate"), "19900101");
}

TEST(MsrDataParserAamva, LongLicenceNumberOverflowIsAppended) {
    MsrDataParser parser("%CASAN JOSE^DOE$ALEX$JR^123 MAIN ST^?",
                         ";6360231234567890=2512199001010?", "", 1);
    EXPECT_EQ(parser.GetAttribute("LicenseNumber"), "12345678900");
    MsrDataParser trailing("%CA^DOE^?", ";636023123=251219900101=45=?", "", 1);
    EXPECT_EQ(trailing.GetAttribute("LicenseNumber"), "12345");
}

TEST(MsrDataParserAamva, FullCityAndLongNameUseFixedWidths) {
    // 13-character city without '^': the name starts right after it.
    MsrDataParser city("%CASANTA BARBARADOE$ALEX^1 MAIN^?", "", "", 1);
    EXPECT_EQ(city.GetAttribute("City"), "SANTA BARBARA");
    EXPECT_EQ(city.GetAttribute("Surname"), "DOE");
    EXPECT_EQ(city.GetAttribute("FirstName"), "ALEX");
    EXPECT_EQ(city.GetAttribute("Address"), "1 MAIN");

    // A name without '^' within 35 characters is cut at 35.
    std::string name35 = "DOEDOEDOEDOEDOEDOEDOE$ALEXANDERALEX";  // 35 characters
    std::string track = "%CASAN JOSE^" + name35 + "123 MAIN ST?";
    MsrDataParser longName(track.c_str(), "", "", 1);
    EXPECT_EQ(longName.GetAttribute("Name"), name35);
    EXPECT_EQ(longName.GetAttribute("Address"), "123 MAIN ST");
}

TEST(MsrDataParserAamva, Track3FixedPositions) {
    // Two unused characters, then the fields at their fixed positions, then
    // characters past position 41 that are not read.
    std::string track3 = std::string("%") + "!!" + "95112-1234 " + "C " + "NONE      " + "NONE" +
                         "M" + "510" + "180" + "BRN" + "BLU" + "XYZ?";
    MsrDataParser parser("%CASAN JOSE^DOE$ALEX^1 MAIN^?", ";636023123=251219900101?",
                         track3.c_str(), 1);
    EXPECT_EQ(parser.GetAttribute("PostalCode"), "95112-1234 ");
    EXPECT_EQ(parser.GetAttribute("Class"), "C ");
    EXPECT_EQ(parser.GetAttribute("Restrictions"), "NONE      ");
    EXPECT_EQ(parser.GetAttribute("Endorsements"), "NONE");
    EXPECT_EQ(parser.GetAttribute("Gender"), "M");
    EXPECT_EQ(parser.GetAttribute("Height"), "510");
    EXPECT_EQ(parser.GetAttribute("Weight"), "180");
    EXPECT_EQ(parser.GetAttribute("HairColor"), "BRN");
    EXPECT_EQ(parser.GetAttribute("EyeColor"), "BLU");

    // Shorter than 42 characters: no fixed-position field.
    MsrDataParser shortTrack3("%CA^DOE^?", ";636023123=251219900101?", "%!95112 C NONE?", 1);
    EXPECT_EQ(shortTrack3.GetFormat(), "AAMVA");
    EXPECT_EQ(shortTrack3.GetAttribute("PostalCode"), "");
}

TEST(MsrDataParserAamva, ShortTracksFailButKeepWhatWasRead) {
    MsrDataParser noTrack2("%CASAN JOSE^DOE$ALEX^1 MAIN^?", ";12345?", "", 1);
    EXPECT_EQ(noTrack2.GetFormat(), "");
    EXPECT_EQ(noTrack2.GetAttribute("State"), "CA");
    EXPECT_EQ(noTrack2.GetAttribute("Surname"), "DOE");
    EXPECT_EQ(noTrack2.GetAttribute("IIN"), "");

    MsrDataParser tooShort("%C?", ";6360231234567890=251219900101?", "", 1);
    EXPECT_EQ(tooShort.GetFormat(), "");
    EXPECT_EQ(tooShort.GetAttribute("State"), "");
}

TEST(MsrDataParserFormats, FormatSelectsTheParse) {
    const char* t1 = "%CASAN JOSE^DOE$ALEX^1 MAIN^APT 4^?";  // four pieces: not ISO
    const char* t2 = ";636023123=251219900101=89?";          // three pieces: not ISO
    MsrDataParser fallback(t1, t2, "", -1);
    EXPECT_EQ(fallback.GetFormat(), "AAMVA");
    EXPECT_EQ(fallback.GetAttribute("LicenseNumber"), "12389");
    MsrDataParser encodeType(t1, t2, "", 5);
    EXPECT_EQ(encodeType.GetFormat(), "AAMVA");
    MsrDataParser isoOnly(t1, t2, "", 0);
    EXPECT_EQ(isoOnly.GetFormat(), "");
    EXPECT_EQ(isoOnly.GetAttribute("State"), "");

    // An ISO card read as AAMVA does not keep ISO attributes.
    MsrDataParser aamvaOnly("%B4111111111111111^DOE/ALEX^2512101?", "", "", 1);
    EXPECT_EQ(aamvaOnly.GetFormat(), "");
    EXPECT_EQ(aamvaOnly.GetAttribute("ExpirationDate"), "");
}

TEST(MsrDataParserFormats, NullTracksAndNamesReadAsEmpty) {
    MsrDataParser parser(nullptr, nullptr, nullptr, -1);
    EXPECT_EQ(parser.GetFormat(), "");
    EXPECT_EQ(parser.GetAttribute(nullptr), "");
    EXPECT_EQ(parser.GetAttribute("AccountNumber"), "");
}
