#include "CardFields.h"

#include <cstdlib>
#include <vector>

#include "HexText.h"

namespace quorin::cli {

namespace {

constexpr size_t FIELD_COUNT = 32;

std::vector<std::string> split(const std::string& text, char delimiter) {
    std::vector<std::string> fields;
    size_t start = 0;
    for (;;) {
        size_t at = text.find(delimiter, start);
        if (at == std::string::npos) {
            fields.push_back(text.substr(start));
            return fields;
        }
        fields.push_back(text.substr(start, at - start));
        start = at + 1;
    }
}

long number(const std::string& text) {
    return std::strtol(text.c_str(), nullptr, 10);
}

bool printable(const std::string& text) {
    for (unsigned char c : text) {
        if (c < 0x20 || c > 0x7e) {
            return false;
        }
    }
    return true;
}

// True when the masked text is the library's copy of the track data rather
// than a text the reader masked: the same text (a reader that does not
// encrypt), or the same bytes as the start of the encrypted track's hex.
bool isCopyOfTrack(const std::string& masked, const std::string& track) {
    if (masked == track) {
        return true;
    }
    std::vector<uint8_t> bytes(masked.begin(), masked.end());
    std::string hex = bytesToHex(bytes);
    return !track.empty() && upper(track).compare(0, hex.size(), hex) == 0;
}

bool containedIn(const std::string& value, const std::string& a, const std::string& b) {
    return !value.empty() && ((!a.empty() && a.find(value) != std::string::npos) ||
                              (!b.empty() && b.find(value) != std::string::npos));
}

}  // namespace

bool CardFields::parse(const std::string& text, CardFields* f) {
    std::vector<std::string> v = split(text, '|');
    if (v.size() != FIELD_COUNT) {
        return false;
    }
    *f = CardFields();
    f->readerId = std::strtol(v[0].c_str(), nullptr, 16);
    f->serialNumber = v[1];
    f->swipeStatus = number(v[2]);
    f->encodeType = number(v[3]);
    for (int i = 0; i < 3; ++i) {
        f->decodeStatus[i] = number(v[4 + i]);
        f->trackLength[i] = number(v[8 + i]);
        f->maskedLength[i] = number(v[11 + i]);
    }
    f->fluxmarkStatus = v[7];
    f->fluxmarkLength = number(v[14]);
    f->sessionId = v[17];
    f->ksn = v[18];
    f->batteryLevel = number(v[31]);

    for (int i = 0; i < 3; ++i) {
        const std::string& masked = v[27 + i];
        const std::string& track = v[24 + i];
        if (masked.empty()) {
            continue;
        }
        if (!printable(masked) || isCopyOfTrack(masked, track)) {
            f->withheld = true;
            continue;
        }
        f->masked[i] = masked;
    }

    const std::string& firstName = v[19];
    const std::string& lastName = v[20];
    const std::string& pan = v[21];
    const std::string& month = v[22];
    const std::string& year = v[23];
    const std::string& t1 = f->masked[0];
    const std::string& t2 = f->masked[1];
    auto keep = [&](const std::string& value, std::string* out) {
        if (value.empty()) {
            return;
        }
        if (containedIn(value, t1, t2)) {
            *out = value;
        } else {
            f->withheld = true;
        }
    };
    keep(pan, &f->pan);
    keep(firstName, &f->firstName);
    keep(lastName, &f->lastName);
    if (!month.empty() || !year.empty()) {
        // Tracks carry the expiry date as YYMM.
        if (containedIn(year + month, t1, t2)) {
            f->month = month;
            f->year = year;
        } else {
            f->withheld = true;
        }
    }
    return true;
}

}  // namespace quorin::cli
