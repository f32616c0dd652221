// Texts of the fixed-width character fields of the card records.
//
// A field holds its text up to the first NUL, or fills the whole array when
// the text is as long as the field; both readers below stop at whichever
// comes first, so an unterminated field is never read past its end.
#pragma once

#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>

namespace quorin {

// A copy of the field's text.
template <size_t N>
std::string textOf(const char (&field)[N]) {
    return std::string(field, strnlen(field, N));
}

// The same without a copy, for code that takes fields apart without
// allocating (a swipe's decoding).
template <size_t N>
std::string_view viewOf(const char (&field)[N]) {
    return std::string_view(field, strnlen(field, N));
}

}  // namespace quorin
