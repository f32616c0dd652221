// Splits the three magnetic track texts of a card into named attributes.
//
// Two layouts are understood: bank cards (ISO 7813: "%B" PAN "^" name "^"
// expiry, service code, discretionary data "?" on track 1 and ";" PAN "="
// expiry... "?" on track 2) and driver's licences (AAMVA: state, city, name
// and address on track 1, IIN, licence number, expiry and birth date on track
// 2, physical description at fixed positions on track 3). The tracks are
// parsed once, in the constructor; afterwards the object is only read. It is
// used on one thread at a time and holds copies of the tracks.
//
// The tracks are card data: the parser keeps its copies and the attributes
// in CardText, and takes the tracks apart through views into its copies, so
// no other copy of a piece of a track is ever made.
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "common/CardText.h"

namespace quorin {

class MsrDataParser {
public:
    // Null tracks read as empty texts. format 0 parses ISO only, 1 AAMVA
    // only; any other value tries ISO and falls back to AAMVA.
    MsrDataParser(const char* track1, const char* track2, const char* track3, int format);

    // The attribute's value, valid while the parser lives; "" when it is
    // absent (an empty entry is then added under that name) or when name is
    // null.
    std::string_view GetAttribute(const char* name);
    // "ISO" or "AAMVA" after a successful parse, else "". The getters ask for
    // attributes only; a caller that must know the layout would call this.
    std::string GetFormat() const { return Format; }

    bool ParseISO();
    bool ParseAamva();

    // Removes the sentinels only when data ends with end: then the trailing
    // end and, if present, the leading start go. Otherwise data is returned
    // unchanged, start sentinel included.
    static std::string_view removeSentinels(std::string_view data, std::string_view start,
                                            std::string_view end);
    // Cuts text at every occurrence of delimiter. Empty pieces are skipped;
    // the others are trimmed of whitespace (so a piece of blanks gives "").
    static std::vector<std::string_view> splitString(std::string_view text,
                                                     std::string_view delimiter);
    // text without leading and trailing characters from chars.
    static std::string_view trimString(std::string_view text, std::string_view chars);

private:
    void parseIsoName(std::string_view name, std::string_view accountNumber);
    void applyIsoTrack2(const std::vector<std::string_view>& parts2);
    bool has(const std::string& key) const { return attributes.count(key) != 0; }
    void set(const char* key, std::string_view value) { attributes[key] = value; }

    CardText Track1;
    CardText Track2;
    CardText Track3;
    std::map<std::string, CardText> attributes;
    std::string Format;
};

}  // namespace quorin
