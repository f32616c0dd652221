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
    uint32_t tag;
    size_t length;  // bytes
};

// data as upper-case hex in which the value of every element with a clear
// card data tag, at any depth, is replaced by "**" per byte; each such
// element is added to *withheld. Bytes after the point where the data stops
// being well-formed TLV are written as they are.
std::string withholdCardData(const Bytes& data, std::vector<WithheldValue>* withheld);

// True when data is a sequence of well-formed elements from its first byte
// to its last (padding bytes 00 and FF between them allowed), at least one.
bool isTlv(const Bytes& data);

// "5A" for 0x5A, "9F6B" for 0x9F6B.
std::string tagName(uint32_t tag);

}  // namespace quorin::cli
