// Where card data sits in what a reader sends, and how a recording replaces
// it (TestCard gives the replacements). Every function works in place,
// keeps the byte count, and appends to *note what it replaced or withheld.
//
// Fails closed: what the rules cannot read but may carry card data is
// withheld (zeroed), and what they read but do not know as card data is
// still searched for account numbers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "common/ProductTable.h"

namespace quorin {

class CardDataRules {
public:
    // A card-data report (the layout of the card records) of a model with
    // these capabilities (null: none, as a serial reader). Clear tracks
    // become the test card's, encrypted tracks and Fluxmark data stay,
    // masked tracks stay unless they hold an account number in clear, and
    // bytes the layout does not define for the model are withheld. A report
    // whose lengths or encode type no card report has is withheld whole
    // (its first byte kept).
    static void cardReport(uint8_t* p, size_t n, const ProductFacts* model, std::string* note);
    // The data of one whole notification. A transaction status, display
    // text or menu (0x0300 to 0x0302) is searched for account numbers
    // (ASCII and packed BCD); every other notification is BER-TLV, with the
    // tags that carry clear card data (5A, 56, 57, 5F20, 9F1F, 9F20, 9F6B)
    // replaced at any depth, and withheld from the first element that does
    // not parse on.
    static void notificationData(uint8_t* p, size_t n, unsigned messageId, std::string* note);
    // A serial reader's card data line (track texts one after the other).
    static void cardText(uint8_t* p, size_t n, std::string* note);
    // Anything else (commands, responses): account numbers in ASCII.
    static void otherData(uint8_t* p, size_t n, std::string* note);
    // Withholds n bytes (zeroes them).
    static void withhold(uint8_t* p, size_t n, const char* what, std::string* note);
};

}  // namespace quorin
