#include "api/NotificationText.h"

#include <cstdio>

namespace quorin {

CardText extendedResponseText(unsigned short value, std::string_view hex) {
    char head[16];
    std::snprintf(head, sizeof(head), "%04x%04x", static_cast<unsigned>(value),
                  static_cast<unsigned>((hex.size() / 2) & 0xFFFF));
    CardText text;
    text.reserve(8 + hex.size());
    text.append(head).append(hex);
    return text;
}

int transactionCallbackIndex(unsigned short messageId) {
    if (messageId >= 0x300 && messageId <= 0x304) {
        return messageId - 0x300;
    }
    return -1;
}

}  // namespace quorin
