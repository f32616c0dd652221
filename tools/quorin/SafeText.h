// Texts that come from a reader (serial numbers, paths, card fields, error
// texts) or from the command line, made harmless for a terminal before the
// tool prints them as text. A reader is untrusted: an ESC sequence in its
// serial number must not clear the screen or retitle the window.
#pragma once

#include <string>

namespace quorin::cli {

// text with every byte outside printable ASCII written as \xHH and the
// backslash as \\; printable ASCII is unchanged.
std::string safeText(const std::string& text);

}  // namespace quorin::cli
