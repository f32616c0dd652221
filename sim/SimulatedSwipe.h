// A card swipe on a simulated reader: the clear track texts of a card turned
// into the card-data report a reader of a given model sends.
//
// The report layout is the model's own (VirtualModel). Encrypting models carry stand-in bytes in
// the track fields: the track bytes scrambled with a keystream that changes with each swipe. They
// are not ciphertext of any real key and only look the part; the masked fields carry the tracks
// masked the way bank-card readers mask them (see mask()). Models without encryption carry the
// tracks in clear. Unknown product IDs report like a plain swipe reader (short report).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quorin_sim {

class SimulatedSwipe {
public:
    SimulatedSwipe(std::string track1, std::string track2, std::string track3);

    // The report of a reader with this product ID, serial number (reported
    // by models that report one) and swipe number (varies the stand-in
    // bytes, the key serial number and the session id).
    std::vector<unsigned char> report(long productId, const std::string& serialNumber,
                                      unsigned int swipeNumber) const;

    // A track as a bank-card reader masks it: the account number keeps its
    // first and last four digits with '*' between them, and the data after
    // the expiry date and service code becomes '0'. Track 1 "%B...^...^...?"
    // and track 2 ";...=...?" are recognised; other texts are returned as
    // they are.
    static std::string mask(const std::string& track);

    // A sample bank card for demonstrations (track 1, 2 and 3 texts).
    static SimulatedSwipe sampleCard();

private:
    std::string m_track[3];
};

}  // namespace quorin_sim
