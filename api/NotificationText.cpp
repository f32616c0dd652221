#include "api/NotificationText.h"

#include <cstdio>

namespace quorin {

std::string extendedResponseText(unsigned short value, const std::string& hex) {
    char head[16];
    std::snprintf(head, sizeof(head), "%04x%04x", static_cast<unsigned>(value),
                  static_cast<unsigned>((hex.size() / 2) & 0xFFFF));
    return head + hex;
}

int transactionCallbackIndex(unsigned short messageId) {
    if (messageId >= 0x300 && messageId <= 0x304) {
        return messageId - 0x300;
    }
    return -1;
}

}  // namespace quorin
