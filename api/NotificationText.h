#pragma once

#include <string>

namespace quorin {

// Text of the extended-response callback for a notification: four
// lower-case hex digits of the message id, four of the data byte count, then
// the upper-case hex data ("12340002ABCD").
std::string extendedResponseText(unsigned short messageId, const std::string& hex);

// Index of the transaction callback (0 status, 1 display message, 2 user
// selection, 3 ARQC, 4 result) for message ids 0x300..0x304, else -1.
int transactionCallbackIndex(unsigned short messageId);

}  // namespace quorin
