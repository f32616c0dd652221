// How the tool prints reader events, as text for people or as one JSON
// object per line for scripts.
#pragma once

#include <string>

#include "CardFields.h"

namespace quorin::cli {

class EventPrinter {
public:
    explicit EventPrinter(bool json) : m_json(json) {}
    bool json() const { return m_json; }

    void card(const CardFields& card) const;
    // A card data string that could not be split into its fields.
    void unreadableCard() const;
    void notification(unsigned int messageId, const std::string& hex) const;
    void readerError(const std::string& text) const;
    void disconnected(const std::string& path) const;
    // A free text line; in JSON mode {"event": kind, "message": text}.
    void message(const std::string& kind, const std::string& text) const;

    // "transaction status", ... for the EMV notification ids; "" otherwise.
    static std::string notificationName(unsigned int messageId);

private:
    bool m_json;
};

}  // namespace quorin::cli
