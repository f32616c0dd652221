#pragma once

#include <string_view>

#include "common/CardText.h"

namespace quorin {

// Text of an extended response: four lower-case hex digits of a 16-bit
// value, four of the data byte count (hex.size() / 2), then hex as given. The
// value is the message id for a notification ("12340002ABCD") and the result
// code for the answer to an extended command.
CardText extendedResponseText(unsigned short value, std::string_view hex);

// Index of the transaction callback (0 status, 1 display message, 2 user
// selection, 3 ARQC, 4 result) for message ids 0x300..0x304, else -1.
int transactionCallbackIndex(unsigned short messageId);

}  // namespace quorin
