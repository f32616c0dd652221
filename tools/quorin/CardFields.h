// The fields of one swipe that the tool shows, taken from the card data
// string the library passes to the card-data callback (32 fields joined by
// "|").
//
// The tool shows only what the reader masked. Clear or encrypted track data
// is never shown, only its length. A masked track is shown only when the
// reader really sent a masked text: the library fills the masked fields with
// copies of the raw tracks when a reader sends no masked tracks (a short
// report, or a model that does not mask), and such a copy is withheld. The
// account number, names and expiry date are derived by the library from the
// masked tracks or, for models that do not mask, from the clear ones; each is
// shown only when it can be found in a masked track that is shown.
#pragma once

#include <string>

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
    // Set when a masked track or a derived field was withheld.
    bool withheld = false;

    // Splits the card data string; false when it does not have 32 fields.
    static bool parse(const std::string& text, CardFields* fields);
};

}  // namespace quorin::cli
