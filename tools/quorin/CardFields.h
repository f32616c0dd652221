// The fields of one swipe that the tool shows, taken from the card data
// string the library passes to the card-data callback (32 fields joined by
// "|").
//
// The tool shows only what the reader masked, and fails closed. Clear or
// encrypted track data is never shown, only its length. A masked track is
// shown only when it positively carries masking: its account number keeps at
// most the first six and the last four digits, with the reader's mask
// character in place of every other one. Anything else in a masked field is
// withheld with its length: the library fills the masked fields with copies
// of the raw tracks when a reader sends no masked tracks (a short report, a
// serial reader), and a reader that encrypts but is set not to mask sends
// its clear tracks there. The account number must itself be masked so, and
// the names and expiry date are shown only when they can be found in a
// masked track that is shown. With showCardData every field is shown as it
// is.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace quorin::cli {

struct CardFields {
    long readerId = 0;
    std::string serialNumber;
    long swipeStatus = 0;  // 1 when a track failed to decode
    long encodeType = 0;
    long decodeStatus[3] = {0, 0, 0};
    std::string fluxmarkStatus;
    long trackLength[3] = {0, 0, 0};
    long maskedLength[3] = {0, 0, 0};
    long fluxmarkLength = 0;
    std::string sessionId;
    std::string ksn;
    long batteryLevel = 0;
    // Shown fields; empty when absent or withheld.
    std::string masked[3];
    std::string pan;
    std::string firstName;
    std::string lastName;
    std::string month;
    std::string year;
    // The fields withheld, by the name of their JSON key ("maskedTracks[1]",
    // "pan", ...), with their lengths in characters.
    struct Withheld {
        std::string field;
        size_t length;
    };
    std::vector<Withheld> withheldFields;
    // Set when a masked track or a derived field was withheld.
    bool withheld = false;

    // Splits the card data string; false when it does not have 32 fields.
    static bool parse(const std::string& text, CardFields* fields, bool showCardData = false);
    // True when the account number keeps at most its first six and last
    // four digits and shows one mask character (not a digit) in place of
    // every other one.
    static bool isMaskedAccountNumber(std::string_view pan);
    // True when the track's account number (ISO track 1 "%B...^", track 2
    // ";...=") is masked so; false for a track without one.
    static bool carriesMasking(std::string_view track);
};

}  // namespace quorin::cli
