// Hex text as it crosses the library boundary: two digits per byte, no
// separators.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quorin::cli {

bool isHexDigits(const std::string& text);
// A command text the tool accepts: an even number of hex digits (at least
// two), or the extended form "CCCC:DATA" with four digits before the colon
// and an even number (possibly none) after it.
bool isCommandText(const std::string& text);
// The bytes of hex text; false for odd length or stray characters.
bool hexToBytes(const std::string& text, std::vector<uint8_t>* bytes);
// The bytes of hex text; none when it is not hex text.
std::vector<uint8_t> hexBytes(const std::string& text);
std::string bytesToHex(const std::vector<uint8_t>& bytes);
// The bytes as text when they are all printable ASCII (trailing NULs and
// blanks dropped); "" otherwise.
std::string printableText(const std::vector<uint8_t>& bytes);
std::string upper(std::string text);

}  // namespace quorin::cli
