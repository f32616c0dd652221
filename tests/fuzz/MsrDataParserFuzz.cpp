// The track data parser over three arbitrary track texts and a format choice.
//
// Input: format byte, then the three tracks as length-prefixed chunks.
#include <string>

#include "FuzzInput.h"
#include "FuzzTarget.h"
#include "reader/MsrDataParser.h"

using quorin::MsrDataParser;
using quorin_test::FuzzInput;

namespace {

const char* const ATTRIBUTES[] = {"AccountNumber", "ExpirationDate",
                                  "ServiceCode",   "Name",
                                  "CountryCode",   "Surname",
                                  "FirstName",     "MiddleInitial",
                                  "Title",         "Suffix",
                                  "State",         "City",
                                  "Address",       "IIN",
                                  "BirthDate",     "LicenseNumber",
                                  "PostalCode",    "Class",
                                  "Restrictions",  "Endorsements",
                                  "Gender",        "Height",
                                  "Weight",        "HairColor",
                                  "EyeColor",      "",
                                  "Unknown"};

}  // namespace

QUORIN_FUZZ_TARGET(msr_parser) {
    FuzzInput in(data, size);
    const int format = static_cast<int>(in.u8() % 4);
    // The parser takes C texts: a track ends at its first NUL.
    const std::string t1 = in.text(in.u8());
    const std::string t2 = in.text(in.u8());
    const std::string t3 = in.restText();

    MsrDataParser parser(t1.c_str(), t2.c_str(), t3.c_str(), format);
    const std::string kind = parser.GetFormat();
    FUZZ_CHECK(kind.empty() || kind == "ISO" || kind == "AAMVA");
    if (format == 0) {
        FUZZ_CHECK(kind != "AAMVA");
    } else if (format == 1) {
        FUZZ_CHECK(kind != "ISO");
    }
    const size_t longest = t1.size() + t2.size() + t3.size();
    for (const char* name : ATTRIBUTES) {
        // Every attribute is a piece of one of the tracks.
        FUZZ_CHECK(parser.GetAttribute(name).size() <= longest);
    }
    FUZZ_CHECK(parser.GetAttribute(nullptr).empty());

    // The static helpers on their own.
    MsrDataParser::removeSentinels(t1, t2.substr(0, 1), t3.substr(0, 1));
    for (const std::string_view piece : MsrDataParser::splitString(t1, t2.substr(0, 2))) {
        FUZZ_CHECK(piece.size() <= t1.size());
    }
    FUZZ_CHECK(MsrDataParser::trimString(t3, t2).size() <= t3.size());
    return 0;
}
