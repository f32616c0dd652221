// A reader of BER-TLV data (the EMV encoding of the reader's transaction
// messages): finds a tag at any depth of constructed values.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace quorin::cli {

using Bytes = std::vector<uint8_t>;

// The value of the first element with this tag (tag bytes as a number, e.g.
// 0x9F26, 0xDFDF1A), searched depth first; nullopt when it is absent or the
// data is not well-formed up to it.
std::optional<Bytes> findTag(const Bytes& data, uint32_t tag);

}  // namespace quorin::cli
