#include "EventPrinter.h"

#include "HexText.h"
#include "JsonWriter.h"
#include "Output.h"
#include "ReaderModels.h"
#include "SafeText.h"

namespace quorin::cli {

namespace {

std::string twoDigits(long value) {
    char buf[16];
    std::snprintf(buf, sizeof(buf), "%02lX", value & 0xff);
    return buf;
}

}  // namespace

std::string EventPrinter::notificationName(unsigned int messageId) {
    switch (messageId) {
        case 0x300:
            return "transaction status";
        case 0x301:
            return "display message";
        case 0x302:
            return "user selection request";
        case 0x303:
            return "ARQC";
        case 0x304:
            return "transaction result";
        default:
            return std::string();
    }
}

void EventPrinter::card(const CardFields& c) const {
    Output& out = Output::instance();
    if (m_json) {
        JsonWriter j;
        j.beginObject().key("event").value("card");
        j.key("readerSerial").valueOrNull(c.serialNumber);
        j.key("encodeType").value(c.encodeType);
        j.key("encodeTypeName").valueOrNull(encodeTypeName(c.encodeType));
        j.key("swipeOk").value(c.swipeStatus == 0);
        j.key("decodeStatus").beginArray();
        for (long s : c.decodeStatus) {
            j.value(s);
        }
        j.endArray();
        j.key("maskedTracks").beginArray();
        for (const std::string& t : c.masked) {
            j.valueOrNull(t);
        }
        j.endArray();
        j.key("trackLengths").beginArray();
        for (long n : c.trackLength) {
            j.value(n);
        }
        j.endArray();
        j.key("pan").valueOrNull(c.pan);
        j.key("firstName").valueOrNull(c.firstName);
        j.key("lastName").valueOrNull(c.lastName);
        j.key("expiryMonth").valueOrNull(c.month);
        j.key("expiryYear").valueOrNull(c.year);
        // A reader without a key serial number sends zeros: none, as in text.
        j.key("ksn").valueOrNull(c.ksn.find_first_not_of('0') != std::string::npos ? c.ksn : "");
        j.key("fluxmarkStatus").valueOrNull(c.fluxmarkStatus);
        j.key("withheld").value(c.withheld);
        j.key("withheldFields").beginArray();
        for (const CardFields::Withheld& w : c.withheldFields) {
            j.beginObject().key("field").value(w.field).key("length").value(
                static_cast<long long>(w.length));
            j.endObject();
        }
        j.endArray();
        j.endObject();
        out.line(j.str());
        return;
    }
    std::string encode = encodeTypeName(c.encodeType);
    out.printf("Card read: %s, encode type %s\n",
               c.swipeStatus == 0 ? "decoded" : "a track failed to decode",
               encode.empty() ? std::to_string(c.encodeType).c_str() : encode.c_str());
    for (int i = 0; i < 3; ++i) {
        if (!c.masked[i].empty()) {
            out.printf("  Track %d (masked):  %s\n", i + 1, safeText(c.masked[i]).c_str());
        }
    }
    if (!c.pan.empty()) {
        out.printf("  PAN:               %s\n", safeText(c.pan).c_str());
    }
    if (!c.firstName.empty() || !c.lastName.empty()) {
        std::string name = c.firstName;
        if (!c.lastName.empty()) {
            name += (name.empty() ? "" : " ") + c.lastName;
        }
        out.printf("  Name:              %s\n", safeText(name).c_str());
    }
    if (!c.month.empty() || !c.year.empty()) {
        out.printf("  Expires (MM/YY):   %s/%s\n", safeText(c.month).c_str(),
                   safeText(c.year).c_str());
    }
    out.printf("  Decode status:     %s %s %s\n", twoDigits(c.decodeStatus[0]).c_str(),
               twoDigits(c.decodeStatus[1]).c_str(), twoDigits(c.decodeStatus[2]).c_str());
    out.printf("  Track data:        %ld, %ld, %ld bytes (not shown)\n", c.trackLength[0],
               c.trackLength[1], c.trackLength[2]);
    if (c.ksn.find_first_not_of('0') != std::string::npos) {
        out.printf("  KSN:               %s\n", safeText(c.ksn).c_str());
    }
    if (!c.serialNumber.empty()) {
        out.printf("  Reader serial:     %s\n", safeText(c.serialNumber).c_str());
    }
    if (c.withheld) {
        std::string fields;
        for (const CardFields::Withheld& w : c.withheldFields) {
            fields += (fields.empty() ? "" : ", ") + w.field + " " + std::to_string(w.length) +
                      " characters";
        }
        out.printf("  (not masked by the reader, not shown: %s; --show-card-data shows them)\n",
                   fields.c_str());
    }
}

void EventPrinter::event(const ReaderEvent& e) const {
    if (e.kind == ReaderEvent::CARD_DATA) {
        CardFields fields;
        if (CardFields::parse(e.text, &fields, m_showCardData)) {
            card(fields);
        } else {
            unreadableCard();
        }
    } else if (e.kind == ReaderEvent::NOTIFICATION) {
        notification(e.messageId, e.text);
    } else if (e.kind == ReaderEvent::ERROR) {
        readerError(e.text);
    }
}

void EventPrinter::unreadableCard() const {
    message("card-unreadable", "Card read, but its card data could not be split into fields.");
}

void EventPrinter::notification(unsigned int messageId, const std::string& hex) const {
    std::vector<WithheldValue> withheld;
    // A transaction status, a display text and a menu are not TLV and carry
    // no card data (`emv` shows them as they are); every other message is
    // TLV, shown only as far as it parses.
    const bool text = messageId >= 0x300 && messageId <= 0x302;
    std::string data = text ? hex : shownData(hex, &withheld);
    std::string name = notificationName(messageId);
    if (m_json) {
        JsonWriter j;
        j.beginObject()
            .key("event")
            .value("notification")
            .key("id")
            .value(messageId)
            .key("name")
            .valueOrNull(name)
            .key("data")
            .value(data);
        addWithheld(j, withheld);
        j.endObject();
        Output::instance().line(j.str());
        return;
    }
    Output::instance().printf("Notification 0x%04X%s%s%s: %s\n%s", messageId,
                              name.empty() ? "" : " (", name.c_str(), name.empty() ? "" : ")",
                              data.empty() ? "(no data)" : safeText(data).c_str(),
                              withheldNote(withheld).c_str());
}

std::string EventPrinter::shownData(const std::string& hex,
                                    std::vector<WithheldValue>* withheld) const {
    if (m_showCardData) {
        return hex;
    }
    Bytes bytes;
    if (!hexToBytes(hex, &bytes)) {
        // Not even hex: nothing of it can be vouched for.
        withheld->push_back({UNPARSED_REST, hex.size() / 2});
        return std::string(hex.size(), '*');
    }
    return withholdCardData(bytes, withheld);
}

void EventPrinter::addWithheld(JsonWriter& j, const std::vector<WithheldValue>& withheld) {
    j.key("withheld").beginArray();
    for (const WithheldValue& w : withheld) {
        j.beginObject().key("tag");
        if (w.tag == UNPARSED_REST) {
            j.null();
        } else {
            j.value(tagName(w.tag));
        }
        j.key("length").value(static_cast<long long>(w.length));
        j.endObject();
    }
    j.endArray();
}

std::string EventPrinter::withheldNote(const std::vector<WithheldValue>& withheld) {
    if (withheld.empty()) {
        return std::string();
    }
    std::string note = "  (card data not shown:";
    for (size_t i = 0; i < withheld.size(); ++i) {
        const std::string what = withheld[i].tag == UNPARSED_REST
                                     ? std::string("the unreadable rest")
                                     : tagName(withheld[i].tag);
        note += (i == 0 ? " " : ", ") + what + " " + std::to_string(withheld[i].length) + " bytes";
    }
    return note + "; --show-card-data shows it)\n";
}

void EventPrinter::readerError(const std::string& text) const {
    message("error", "Reader error: " + text);
}

void EventPrinter::disconnected(const std::string& path) const {
    message("disconnected", "Reader disconnected: " + path);
}

void EventPrinter::message(const std::string& kind, const std::string& text) const {
    if (m_json) {
        JsonWriter j;
        j.beginObject().key("event").value(kind).key("message").value(text).endObject();
        Output::instance().line(j.str());
    } else {
        Output::instance().line(safeText(text));
    }
}

}  // namespace quorin::cli
