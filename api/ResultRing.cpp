#include "api/ResultRing.h"

#include <cstring>

namespace quorin {

const char* ResultRing::copy(const char* s) {
    if (s == nullptr) {
        s = "";
    }
    size_t length = strnlen(s, m_rule.maxText + 1);
    if (length > m_rule.maxText) {
        if (!m_rule.cutLonger) {
            return "";
        }
        length = m_rule.maxText;
    }
    int index;
    if (m_rule.fromStart != 0 && length > m_rule.fromStart) {
        m_index.store(0);
        index = 0;
    } else {
        int current = m_index.load();
        int next;
        do {
            next = current + 3;
            if (next > m_rule.wrapAbove) {
                next %= 100;
            }
        } while (!m_index.compare_exchange_weak(current, next));
        index = next;
    }
    char* slot = m_buffer + static_cast<size_t>(index) * SLOT;
    // Never past the buffer, whatever the rule says.
    if (static_cast<size_t>(slot - m_buffer) + length + 1 > m_size) {
        return "";
    }
    std::memmove(slot, s, length);
    slot[length] = '\0';
    return slot;
}

}  // namespace quorin
