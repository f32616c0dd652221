// Splits the three magnetic track texts of a card into named attributes.
//
// Two layouts are understood: bank cards (ISO 7813: "%B" PAN "^" name "^"
// expiry, service code, discretionary data "?" on track 1 and ";" PAN "="
// expiry... "?" on track 2) and driver's licences (AAMVA: state, city, name
// and address on track 1, IIN, licence number, expiry and birth date on track
// 2, physical description at fixed positions on track 3). The tracks are
// parsed once, in the constructor; afterwards the object is only read. It is
// used on one thread at a time and holds copies of the tracks.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace quorin {

class MsrDataParser {
public:
    // Null tracks read as empty texts. format 0 parses ISO only, 1 AAMVA
    // only; any other value tries ISO and falls back to AAMVA.
    MsrDataParser(const char* track1, const char* track2, const char* track3, int format);

    // The attribute's value; "" when it is absent (an empty entry is then
    // added under that name) or when name is null.
    std::string GetAttribute(const char* name);
    // "ISO" or "AAMVA" after a successful parse, else "". The getters ask for
    // attributes only; a caller that must know the layout would call this.
    std::string GetFormat() const { return Format; }

    bool ParseISO();
    bool ParseAamva();

    // Removes the sentinels only when data ends with end: then the trailing
    // end and, if present, the leading start go. Otherwise data is returned
    // unchanged, start sentinel included.
    static std::string removeSentinels(const std::string& data, const std::string& start,
                                       const std::string& end);
    // Cuts text at every occurrence of delimiter. Empty pieces are skipped;
    // the others are trimmed of whitespace (so a piece of blanks gives "").
    static std::vector<std::string> splitString(const std::string& text,
                                                const std::string& delimiter);
    // text without leading and trailing characters from chars.
    static std::string trimString(const std::string& text, const std::string& chars);

private:
    void parseIsoName(const std::string& name, const std::string& accountNumber);
    void applyIsoTrack2(const std::vector<std::string>& parts2);
    bool has(const std::string& key) const { return attributes.count(key) != 0; }

    std::string Track1;
    std::string Track2;
    std::string Track3;
    std::map<std::string, std::string> attributes;
    std::string Format;
};

}  // namespace quorin
