// How the tool prints reader events, as text for people or as one JSON
// object per line for scripts.
//
// Card data stays out of the output: a swipe shows only what the reader
// masked (see CardFields), and the values of the EMV tags that carry clear
// card data (see isClearCardDataTag) are withheld from every notification
// printed, their tags and lengths shown instead, unless the command line
// asked for them (showCardData). Texts of the reader are escaped in text
// output (JSON escapes them itself).
#pragma once

#include <string>
#include <vector>

#include "CardFields.h"
#include "EventQueue.h"
#include "Tlv.h"

namespace quorin::cli {

class JsonWriter;

class EventPrinter {
public:
    explicit EventPrinter(bool json, bool showCardData = false)
        : m_json(json), m_showCardData(showCardData) {}
    bool json() const { return m_json; }

    void card(const CardFields& card) const;
    // A card data string that could not be split into its fields.
    void unreadableCard() const;
    // A card read, a notification or an error of the reader; connection
    // changes are left to the command.
    void event(const ReaderEvent& e) const;
    void notification(unsigned int messageId, const std::string& hex) const;
    void readerError(const std::string& text) const;
    void disconnected(const std::string& path) const;
    // A free text line; in JSON mode {"event": kind, "message": text}.
    void message(const std::string& kind, const std::string& text) const;

    // A notification's data as it may be printed: the hex with the values of
    // clear card data withheld (listed in *withheld), or unchanged when the
    // command line asked for card data.
    std::string shownData(const std::string& hex, std::vector<WithheldValue>* withheld) const;
    // Adds "withheld": [{"tag": "5A", "length": 8}, ...] to an object.
    static void addWithheld(JsonWriter& j, const std::vector<WithheldValue>& withheld);
    // "  (not shown: 5A 8 bytes, ...)" for text output; "" when nothing was withheld.
    static std::string withheldNote(const std::vector<WithheldValue>& withheld);

    // "transaction status", ... for the EMV notification ids; "" otherwise.
    static std::string notificationName(unsigned int messageId);

private:
    bool m_json;
    bool m_showCardData;
};

}  // namespace quorin::cli
