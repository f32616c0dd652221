// What the tool knows about reader models and codes, for display only:
// model names by USB product ID (the library's device table, which the
// public API shows only for the one first-generation reader), which models
// run EMV transactions, card encode-type names and result-code meanings.
#pragma once

#include <string>

namespace quorin::cli {

// The model name of a product ID; "" for an unknown one.
std::string modelName(int productId);
// true for the extended-protocol (EMV) models. Product ID 0 is a reader on a
// serial port, which always speaks the extended protocol.
bool isEmvModel(int productId);
// "ISO", "AAMVA", ... for encode types 0 to 6; "" otherwise.
std::string encodeTypeName(long type);
// One line on a result code of the command path.
std::string resultMeaning(int code);

}  // namespace quorin::cli
