// A ring of 256-byte slots in a caller's buffer, through which exported
// functions hand texts back that must outlive the call.
//
// Each copy goes three slots past the previous one; an index past `wrapAbove`
// is taken modulo 100, so the index visits every value 0 to 99 and a text
// survives the next 32 copies (the 33rd may overwrite it). The session's ring
// (STATIC_STRING, in SendCommand's buffer) cuts texts to 767 characters, the
// room from a slot to the next copy's; the Ex delegates' ring puts a long
// text at the start of its buffer, where it fits, and refuses one that fits
// nowhere.
//
// The index is shared by every ring that is given the same one and is
// advanced without a lock; the copies themselves are not synchronised (a
// ring serves one host thread at a time, or one reader).
#pragma once

#include <atomic>
#include <cstddef>

namespace quorin {

class ResultRing {
public:
    static constexpr size_t SLOT = 256;

    struct Rule {
        int wrapAbove;     // the index wraps when it would exceed this
        size_t maxText;    // longest text kept
        bool cutLonger;    // true: a longer text is cut; false: refused ("")
        size_t fromStart;  // a text longer than this starts at slot 0 (0: never)
    };

    ResultRing(char* buffer, size_t size, std::atomic<int>& index, Rule rule)
        : m_buffer(buffer), m_size(size), m_index(index), m_rule(rule) {}

    // Copies s (null counts as "") into the next slot and returns the copy.
    const char* copy(const char* s);

private:
    char* m_buffer;
    size_t m_size;
    std::atomic<int>& m_index;
    Rule m_rule;
};

}  // namespace quorin
