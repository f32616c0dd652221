// A reader of BER-TLV data (the EMV encoding of the reader's transaction
// messages): finds a tag at any depth of constructed values, and withholds
// the values that carry clear card data before a message is printed.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace quorin::cli {

using Bytes = std::vector<uint8_t>;

// The value of the first element with this tag (tag bytes as a number, e.g.
// 0x9F26, 0xDFDF1A), searched depth first; nullopt when it is absent or the
// data is not well-formed up to it.
std::optional<Bytes> findTag(const Bytes& data, uint32_t tag);

// True for the tags whose values are clear card data: the account number
// (5A), track 1 and track 2 equivalent data (56, 57), track 2 data (9F6B),
// the cardholder name (5F20) and the tracks' discretionary data (9F1F,
// 9F20).
bool isClearCardDataTag(uint32_t tag);

struct WithheldValue {
    uint32_t tag;   // UNPARSED_REST: the data from where it stops being TLV
    size_t length;  // bytes
};
// No element has tag 0 (a 00 byte is padding).
constexpr uint32_t UNPARSED_REST = 0;

// data as upper-case hex in which the value of every element with a clear
// card data tag, at any depth, is replaced by "**" per byte; each such
// element is added to *withheld. From the first element that is not
// well-formed TLV (a length that overruns its template, an indefinite or a
// four-byte length, a tag cut short) to the end of its template, nothing can
// be vouched for: it is replaced by "**" per byte too and added with the tag
// UNPARSED_REST. Padding (00, FF) after the last element is shown.
std::string withholdCardData(const Bytes& data, std::vector<WithheldValue>* withheld);

// True when data is a sequence of well-formed elements from its first byte
// to its last (padding bytes 00 and FF between them allowed), at least one.
bool isTlv(const Bytes& data);

// "5A" for 0x5A, "9F6B" for 0x9F6B.
std::string tagName(uint32_t tag);

}  // namespace quorin::cli
