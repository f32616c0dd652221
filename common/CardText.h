// A string for text that may carry card data (tracks, account numbers,
// names, hex texts of card reports).
//
// Its storage comes from the card data pool and is wiped when released, also
// when the text grows into new storage. A short text lives inside the object
// itself (the standard library's small-string buffer, up to 15 characters),
// where no allocator sees it: the destructor wipes that too. What the base
// string's own operations return (substr, operator+) is a plain string
// again: build card texts with append and assign instead.
#pragma once

#include <string>
#include <string_view>

#include "common/CardDataAllocator.h"

namespace quorin {

using CardTextBase = std::basic_string<char, std::char_traits<char>, CardDataAllocator<char>>;

class CardText : public CardTextBase {
public:
    using CardTextBase::CardTextBase;
    CardText() noexcept = default;
    CardText(const CardText& other) = default;
    CardText(CardText&& other) noexcept = default;
    CardText(const std::string& text) : CardTextBase(text.data(), text.size()) {}
    CardText(std::string_view text) : CardTextBase(text.data(), text.size()) {}
    CardText& operator=(const CardText& other) = default;
    CardText& operator=(CardText&& other) noexcept = default;
    CardText& operator=(std::string_view text) {
        assign(text.data(), text.size());
        return *this;
    }
    CardText& operator=(const std::string& text) { return *this = std::string_view(text); }
    CardText& operator=(const char* text) { return *this = std::string_view(text); }
    ~CardText() { wipe(); }

    // Wipes every byte the text had, its storage released; the text is empty.
    void wipe() noexcept;
    // Wipes the characters (the whole capacity) but keeps the storage, for a
    // buffer that the next text reuses.
    void wipeKeepStorage() noexcept;

    std::string_view view() const noexcept { return std::string_view(data(), size()); }
};

inline bool operator==(const CardText& a, const std::string& b) {
    return a.view() == std::string_view(b);
}
inline bool operator==(const std::string& a, const CardText& b) {
    return b == a;
}
inline bool operator!=(const CardText& a, const std::string& b) {
    return !(a == b);
}
inline bool operator!=(const std::string& a, const CardText& b) {
    return !(b == a);
}

}  // namespace quorin
