#include "transport/CardDataRules.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "common/TlvElement.h"
#include "transport/TestCard.h"

namespace quorin {

namespace {

// The card-data report layout (the card records' decoder reads the same).
constexpr size_t HEADER = 8;  // type, three decode statuses, three lengths, encode type
constexpr size_t TRACK_OFFSETS[2][3] = {{8, 118, 228}, {8, 120, 232}};
constexpr size_t TRACK_FIELDS[2] = {110, 112};
constexpr size_t SHORT_REPORT_MAX = 338;
constexpr long LAST_ENCODE_TYPE = 6;
constexpr size_t FLUXMARK = 345, FLUXMARK_END = 478;  // status, length, data
constexpr size_t SERIAL = 478, SERIAL_END = 494;
constexpr size_t ENCRYPTION_STATUS = 494, ENCRYPTION_STATUS_END = 496;
constexpr size_t KSN = 496, KSN_END = 506;
constexpr size_t MASKED_LENGTHS = 506;
constexpr size_t MASKED_OFFSETS[3] = {509, 621, 733};
constexpr size_t MASKED_FIELD = 112, MASKED_END = 845;
constexpr size_t SESSION_ID = 845, SESSION_ID_END = 853;
constexpr size_t BATTERY = 931;

// BER-TLV.
constexpr int MAX_DEPTH = 8;
// A transaction status, a display text and a menu: the notifications that
// are not TLV.
constexpr unsigned FIRST_TEXT_NOTIFICATION = 0x0300, LAST_TEXT_NOTIFICATION = 0x0302;

void addNote(std::string* note, const std::string& text) {
    if (!note->empty()) {
        *note += ", ";
    }
    *note += text;
}

bool anyNonZero(const uint8_t* p, size_t n) {
    return std::any_of(p, p + n, [](uint8_t b) { return b != 0; });
}

using Element = TlvElement;

std::string tagName(uint32_t tag) {
    char text[12];
    std::snprintf(text, sizeof(text), tag > 0xFF ? "%X" : "%02X", tag);
    return text;
}

void scrubTlv(uint8_t* p, size_t n, int depth, std::string* note) {
    size_t i = 0;
    Element e;
    while (Element::next(p, n, &i, &e)) {
        uint8_t* v = p + e.valueAt;
        char* text = reinterpret_cast<char*>(v);
        size_t changed = 0;
        switch (e.tag) {
            case 0x5A:
            case 0x57:
            case 0x9F6B:
                changed = TestCard::bcdTrack(v, e.length);
                break;
            case 0x56:
                changed = TestCard::track(text, e.length);
                break;
            case 0x5F20:
                changed = TestCard::name(text, e.length);
                break;
            case 0x9F1F:
                changed = TestCard::opaqueText(text, e.length);
                break;
            case 0x9F20:
                changed = TestCard::bcdOpaque(v, e.length);
                break;
            default:
                if (e.constructed && depth < MAX_DEPTH) {
                    scrubTlv(v, e.length, depth + 1, note);
                } else if (e.constructed) {
                    CardDataRules::withhold(v, e.length,
                                            ("TLV " + tagName(e.tag) + " too deep").c_str(), note);
                } else if (TestCard::asciiAccountNumbers(v, e.length) > 0) {
                    addNote(note, "account number in " + tagName(e.tag) + " replaced");
                }
                continue;
        }
        if (changed > 0) {
            addNote(note, tagName(e.tag) + " (" + std::to_string(e.length) + " bytes) replaced");
        }
    }
    // From an element that does not parse on, nothing can be vouched for.
    if (i < n) {
        CardDataRules::withhold(p + i, n - i, "TLV that does not parse", note);
    }
}

// True when the account number field of a track text (after the start
// sentinel and format code, up to '^' or '=') holds 12 or more digits and
// nothing else.
bool clearAccountNumber(const uint8_t* p, size_t n) {
    size_t i = 0;
    while (i < n && !(p[i] >= '0' && p[i] <= '9') && p[i] != '^' && p[i] != '=') {
        ++i;
    }
    size_t digits = 0;
    for (; i < n && p[i] != '^' && p[i] != '='; ++i) {
        if (!(p[i] >= '0' && p[i] <= '9') && p[i] != ' ') {
            return false;
        }
        digits += p[i] != ' ' ? 1 : 0;
    }
    return digits >= 12;
}

}  // namespace

void CardDataRules::withhold(uint8_t* p, size_t n, const char* what, std::string* note) {
    if (!anyNonZero(p, n)) {
        return;
    }
    std::fill(p, p + n, 0);
    addNote(note, std::to_string(n) + " bytes withheld (" + what + ")");
}

void CardDataRules::cardReport(uint8_t* p, size_t n, const ProductFacts* model, std::string* note) {
    const bool encrypted = model != nullptr && model->encryption == 1;
    const size_t field = TRACK_FIELDS[encrypted ? 1 : 0];
    if (n < HEADER || p[4] > field || p[5] > field || p[6] > field || p[7] > LAST_ENCODE_TYPE) {
        if (n > 1) {
            withhold(p + 1, n - 1, "not a card report", note);
        }
        return;
    }
    // What the layout defines for this model is kept or replaced; the
    // rest is withheld.
    std::vector<bool> known(n, false);
    auto keep = [&](size_t from, size_t to) {
        for (size_t i = from; i < std::min(to, n); ++i) {
            known[i] = true;
        }
    };
    keep(0, HEADER);
    for (int t = 0; t < 3; ++t) {
        const size_t at = TRACK_OFFSETS[encrypted ? 1 : 0][t];
        if (at >= n) {
            continue;
        }
        const size_t length = std::min<size_t>(p[4 + t], n - at);
        keep(at, at + length);
        if (!encrypted && TestCard::track(reinterpret_cast<char*>(p + at), length) > 0) {
            addNote(note, "track " + std::to_string(t + 1) + " (" + std::to_string(length) +
                              " bytes) replaced");
        }
    }
    if (n > SHORT_REPORT_MAX) {
        const bool has[] = {model && model->fluxmark == 1, model && model->serialNumber == 1,
                            model && model->dukptKsn == 1, model && model->masking == 1,
                            model && model->sessionId == 1};
        if (has[0]) {
            keep(FLUXMARK, FLUXMARK_END);
        }
        if (has[1]) {
            keep(SERIAL, SERIAL_END);
        }
        keep(ENCRYPTION_STATUS, ENCRYPTION_STATUS_END);
        if (has[2]) {
            keep(KSN, KSN_END);
        }
        if (has[3] && n > MASKED_LENGTHS + 2) {
            keep(MASKED_LENGTHS, MASKED_LENGTHS + 3);
            for (int t = 0; t < 3; ++t) {
                const size_t at = MASKED_OFFSETS[t];
                if (at >= n) {
                    continue;
                }
                const size_t length =
                    std::min({static_cast<size_t>(p[MASKED_LENGTHS + t]), MASKED_FIELD, n - at});
                keep(at, at + length);
                // A masked track whose account number field is all digits is
                // no masked track.
                if (clearAccountNumber(p + at, length)) {
                    TestCard::track(reinterpret_cast<char*>(p + at), length);
                    addNote(note,
                            "masked track " + std::to_string(t + 1) + " was not masked: replaced");
                }
            }
            (void)MASKED_END;
        }
        if (has[4]) {
            keep(SESSION_ID, SESSION_ID_END);
        }
        keep(BATTERY, BATTERY + 1);
    }
    for (size_t i = 0; i < n;) {
        if (known[i]) {
            ++i;
            continue;
        }
        size_t j = i;
        while (j < n && !known[j]) {
            ++j;
        }
        withhold(p + i, j - i, "outside the model's report layout", note);
        i = j;
    }
}

void CardDataRules::notificationData(uint8_t* p, size_t n, unsigned messageId, std::string* note) {
    if (messageId >= FIRST_TEXT_NOTIFICATION && messageId <= LAST_TEXT_NOTIFICATION) {
        size_t changed = TestCard::asciiAccountNumbers(p, n) + TestCard::bcdAccountNumbers(p, n);
        if (changed > 0) {
            addNote(note, "account number replaced");
        }
        return;
    }
    scrubTlv(p, n, 0, note);
}

void CardDataRules::cardText(uint8_t* p, size_t n, std::string* note) {
    char* text = reinterpret_cast<char*>(p);
    size_t changed = 0;
    // Each track starts with its start sentinel.
    for (size_t i = 0; i < n;) {
        size_t j = i + 1;
        while (j < n && text[j] != '%' && text[j] != ';') {
            ++j;
        }
        changed += TestCard::track(text + i, j - i);
        i = j;
    }
    if (changed > 0) {
        addNote(note, "card data text (" + std::to_string(n) + " bytes) replaced");
    }
}

void CardDataRules::otherData(uint8_t* p, size_t n, std::string* note) {
    if (TestCard::asciiAccountNumbers(p, n) > 0) {
        addNote(note, "account number replaced");
    }
}

}  // namespace quorin
