// What the tool knows about reader models and codes, for display only:
// model names by USB product ID (the library's device table, which the
// public API shows only for the one first-generation reader), which models
// run EMV transactions, card encode-type names and result-code meanings.
#pragma once

#include <string>

namespace quorin::cli {

// The model name of a product ID; "" for an unknown one.
std::string modelName(int productId);
// true for the models the library lists when they are attached over USB.
bool isListedModel(int productId);
// true for the extended-protocol (EMV) USB models.
bool isEmvModel(int productId);
// The framing of a SERIAL:// path as the library reads it: the last FORMAT
// option (keys and values in any case, blanks around them ignored), upper
// case; "SLIP" when there is none.
std::string serialFormat(const std::string& path);
// true when a serial reader on this path can run EMV transactions: its
// framing carries notifications (SLIP, TIDELINK; not LEGACY or NONE).
bool isEmvSerialPath(const std::string& path);
// "ISO", "AAMVA", ... for encode types 0 to 6; "" otherwise.
std::string encodeTypeName(long type);
// One line on a result code of the command path.
std::string resultMeaning(int code);

}  // namespace quorin::cli
