#pragma once

#include <string>

#include "Quorin.h"
#include "common/CardText.h"

namespace quorin {

// The whole card record as one line of text: 32 fields in a fixed order,
// joined by a delimiter the caller chooses.
class CardDataString {
public:
    // The standard form: no delimiter before the first or after the last
    // field; field 8 is the Fluxmark status text.
    // The text is card data: it comes as a CardText.
    static CardText format(const ZDMSRDATA& msr, const std::string& delimiter);
    // The same, written into out (its storage is wiped, and reused when
    // large enough).
    static void formatInto(const ZDMSRDATA& msr, const std::string& delimiter, CardText& out);
    // The first-generation form: field 8 is the Fluxmark status as a decimal
    // number, and a delimiter also follows the last field.
    static CardText formatFirstGeneration(const ZDMSRDATA& msr, const std::string& delimiter);

private:
    static void build(const ZDMSRDATA& msr, const std::string& delimiter, bool firstGeneration,
                      CardText& out);
};

}  // namespace quorin
