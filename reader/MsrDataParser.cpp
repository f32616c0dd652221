#include "reader/MsrDataParser.h"

#include <utility>

namespace quorin {

namespace {

const char* const WHITESPACE = " \t\r\n";

using View = std::string_view;

// s.substr(pos, n) that yields "" instead of throwing when pos is past the end.
View part(View s, size_t pos, size_t n = View::npos) {
    return pos < s.size() ? s.substr(pos, n) : View();
}

bool startsWith(View s, View prefix) {
    return s.size() >= prefix.size() && s.compare(0, prefix.size(), prefix) == 0;
}

bool endsWith(View s, View suffix) {
    return s.size() >= suffix.size() &&
           s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

}  // namespace

MsrDataParser::MsrDataParser(const char* track1, const char* track2, const char* track3, int format)
    : Track1(track1 != nullptr ? track1 : ""),
      Track2(track2 != nullptr ? track2 : ""),
      Track3(track3 != nullptr ? track3 : "") {
    if (format == 0) {
        ParseISO();
    } else if (format == 1) {
        ParseAamva();
    } else if (!ParseISO()) {
        ParseAamva();
    }
}

std::string_view MsrDataParser::GetAttribute(const char* name) {
    if (name == nullptr) {
        return View();
    }
    return attributes[name].view();
}

std::string_view MsrDataParser::removeSentinels(View data, View start, View end) {
    if (!endsWith(data, end)) {
        return data;
    }
    View result = data.substr(0, data.size() - end.size());
    if (startsWith(result, start)) {
        result.remove_prefix(start.size());
    }
    return result;
}

std::vector<std::string_view> MsrDataParser::splitString(View text, View delimiter) {
    std::vector<View> pieces;
    if (delimiter.empty()) {
        if (!text.empty()) {
            pieces.push_back(trimString(text, WHITESPACE));
        }
        return pieces;
    }
    size_t from = 0;
    for (;;) {
        size_t at = text.find(delimiter, from);
        if (at == View::npos) {
            break;
        }
        if (at > from) {
            pieces.push_back(trimString(text.substr(from, at - from), WHITESPACE));
        }
        from = at + delimiter.size();
    }
    if (from < text.size()) {
        pieces.push_back(trimString(text.substr(from), WHITESPACE));
    }
    return pieces;
}

std::string_view MsrDataParser::trimString(View text, View chars) {
    size_t first = text.find_first_not_of(chars);
    if (first == View::npos) {
        return View();
    }
    size_t last = text.find_last_not_of(chars);
    return text.substr(first, last - first + 1);
}

bool MsrDataParser::ParseISO() {
    attributes.clear();
    Format.clear();

    View t1 = removeSentinels(Track1, "%", "?");
    std::vector<View> parts1 = splitString(trimString(t1, WHITESPACE), "^");
    std::vector<View> parts2 =
        splitString(trimString(removeSentinels(Track2, ";", "?"), WHITESPACE), "=");

    if (parts1.size() != 3 || parts1[0].empty()) {
        // Track 1 is not usable: the card is read from track 2 alone.
        if (parts2.size() != 2) {
            return false;
        }
        applyIsoTrack2(parts2);
        Format = "ISO";
        return true;
    }

    // The first piece is the format code followed by the account number.
    View accountNumber;
    if (parts1[0].size() > 1) {
        accountNumber = parts1[0].substr(1);
        attributes["AccountNumber"] = accountNumber;
    }
    View data = parts1[2];
    if (data.size() >= 4) {
        attributes["ExpirationDate"] = data.substr(0, 4);
    }
    if (data.size() >= 7) {
        attributes["ServiceCode"] = data.substr(4, 3);
    }
    if (data.size() > 7) {
        attributes["Track1DiscretionaryData"] = data.substr(7);
    }
    attributes["Name"] = parts1[1];
    parseIsoName(parts1[1], accountNumber);

    applyIsoTrack2(parts2);
    Format = "ISO";
    return true;
}

void MsrDataParser::parseIsoName(View name, View accountNumber) {
    std::vector<View> nameParts = splitString(name, "/");
    if (nameParts.size() == 2) {
        // SURNAME/FIRST MIDDLE.TITLE; cards whose account number starts with
        // 59 carry a three-letter country code in front of the surname.
        if (startsWith(accountNumber, "59")) {
            attributes["CountryCode"] = nameParts[0].substr(0, 3);
            attributes["Surname"] = trimString(part(nameParts[0], 3), WHITESPACE);
        } else {
            attributes["Surname"] = trimString(nameParts[0], WHITESPACE);
        }
        std::vector<View> given = splitString(trimString(nameParts[1], WHITESPACE), " ");
        if (!given.empty()) {
            attributes["FirstName"] = given[0];
        }
        if (given.size() >= 2) {
            std::vector<View> initial = splitString(given[1], ".");
            if (initial.size() < 2) {
                attributes["MiddleInitial"] = given[1];
            } else {
                attributes["MiddleInitial"] = initial[0];
                attributes["Title"] = initial[1];
            }
        }
    } else if (!name.empty() && name.back() == '/') {
        // A name field made only of '/' has no piece at all.
        if (!nameParts.empty()) {
            attributes["Surname"] = nameParts[0];
        }
    } else if (!name.empty() && name.front() == '/') {
        if (!nameParts.empty()) {
            std::vector<View> given = splitString(nameParts[0], " ");
            if (!given.empty()) {
                attributes["FirstName"] = given[0];
            }
            if (given.size() >= 2) {
                attributes["MiddleInitial"] = given[1];
            }
        }
    } else {
        // FIRST [MIDDLE] SURNAME [SUFFIX...]
        std::vector<View> words = splitString(trimString(name, WHITESPACE), " ");
        if (!words.empty()) {
            attributes["FirstName"] = words[0];
        }
        if (words.size() == 2) {
            attributes["Surname"] = words[1];
        } else if (words.size() >= 3) {
            attributes["MiddleInitial"] = words[1];
            attributes["Surname"] = words[2];
            if (words.size() >= 4) {
                CardText& suffix = attributes["Suffix"];
                suffix = words[3];
                if (words.size() >= 5) {
                    suffix.append(" ").append(words[4]);
                }
                if (words.size() >= 6) {
                    suffix.append(" ").append(words[5]);
                }
            }
        }
    }
}

void MsrDataParser::applyIsoTrack2(const std::vector<View>& parts2) {
    if (parts2.size() != 2) {
        return;
    }
    // Track 2's account number wins over track 1's; expiry and service code
    // only fill what track 1 did not give.
    attributes["AccountNumber"] = parts2[0];
    View data = parts2[1];
    if (!has("ExpirationDate") && data.size() >= 4) {
        attributes["ExpirationDate"] = data.substr(0, 4);
    }
    if (!has("ServiceCode") && data.size() >= 7) {
        attributes["ServiceCode"] = data.substr(4, 3);
    }
    if (data.size() > 7) {
        attributes["Track2DiscretionaryData"] = data.substr(7);
    }
}

bool MsrDataParser::ParseAamva() {
    attributes.clear();
    Format.clear();

    // Track 1: state (2), city (up to 13, '^'-ended), name (up to 35,
    // '^'-ended, "SURNAME$FIRST$SUFFIX"), address.
    View t1 = removeSentinels(Track1, "%", "?");
    if (t1.size() < 2) {
        return false;
    }
    attributes["State"] = t1.substr(0, 2);
    t1.remove_prefix(2);

    size_t p = t1.find('^');
    bool ended = p != View::npos && p <= 12;
    if (!ended) {
        p = 13;
    }
    attributes["City"] = t1.substr(0, p);
    t1 = part(t1, ended ? p + 1 : p);

    p = t1.find('^');
    ended = p != View::npos && p <= 34;
    if (!ended) {
        p = 35;
    }
    View name = t1.substr(0, p);
    attributes["Name"] = name;
    std::vector<View> names = splitString(name, "$");
    if (names.size() >= 1) {
        attributes["Surname"] = names[0];
    }
    if (names.size() >= 2) {
        attributes["FirstName"] = names[1];
    }
    if (names.size() >= 3) {
        attributes["Suffix"] = names[2];
    }
    t1 = part(t1, ended ? p + 1 : p);
    attributes["Address"] = trimString(t1, "^");

    // Track 2: IIN (6), licence number '=' expiry (4) birth date (8), then
    // the overflow of a long licence number.
    View t2 = removeSentinels(Track2, ";", "?");
    if (t2.size() < 6) {
        return false;
    }
    attributes["IIN"] = t2.substr(0, 6);
    size_t eq = t2.find('=');
    if (eq != View::npos) {
        attributes["AccountNumber"] = t2.substr(0, eq);
    }
    View rest = t2.substr(6);
    eq = rest.find('=');
    if (eq != View::npos) {
        CardText license(rest.substr(0, eq));
        View after = rest.substr(eq + 1);
        if (after.size() >= 12) {
            attributes["ExpirationDate"] = after.substr(0, 4);
            attributes["BirthDate"] = after.substr(4, 8);
            View overflow = trimString(after.substr(12), "=");
            if (!overflow.empty()) {
                license.append(overflow);
            }
        }
        attributes["LicenseNumber"] = std::move(license);
    }

    // Track 3: physical description at fixed positions.
    View t3 = removeSentinels(Track3, "%", "?");
    if (t3.size() >= 42) {
        attributes["PostalCode"] = t3.substr(2, 11);
        attributes["Class"] = t3.substr(13, 2);
        attributes["Restrictions"] = t3.substr(15, 10);
        attributes["Endorsements"] = t3.substr(25, 4);
        attributes["Gender"] = t3.substr(29, 1);
        attributes["Height"] = t3.substr(30, 3);
        attributes["Weight"] = t3.substr(33, 3);
        attributes["HairColor"] = t3.substr(36, 3);
        attributes["EyeColor"] = t3.substr(39, 3);
    }

    Format = "AAMVA";
    return true;
}

}  // namespace quorin
