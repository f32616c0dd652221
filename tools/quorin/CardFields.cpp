#include "CardFields.h"

#include <cstdlib>
#include <vector>

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

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

constexpr size_t MAX_CLEAR_FIRST = 6;
constexpr size_t MAX_CLEAR_LAST = 4;

bool containedIn(const std::string& value, const std::string& a, const std::string& b) {
    return !value.empty() && ((!a.empty() && a.find(value) != std::string::npos) ||
                              (!b.empty() && b.find(value) != std::string::npos));
}

}  // namespace

bool CardFields::isMaskedAccountNumber(std::string_view pan) {
    size_t first = 0;
    while (first < pan.size() && isDigit(pan[first])) {
        ++first;
    }
    size_t last = pan.size();
    while (last > first && isDigit(pan[last - 1])) {
        --last;
    }
    if (first == last || first > MAX_CLEAR_FIRST || pan.size() - last > MAX_CLEAR_LAST) {
        return false;
    }
    const char mask = pan[first];
    if (mask < 0x21 || mask > 0x7e) {
        return false;
    }
    for (size_t i = first; i < last; ++i) {
        if (pan[i] != mask) {
            return false;
        }
    }
    return true;
}

bool CardFields::carriesMasking(std::string_view track) {
    size_t start = 0;
    size_t end = std::string_view::npos;
    if (track.size() > 2 && track[0] == '%') {
        start = 2;  // the format code follows the start sentinel
        end = track.find('^', start);
    } else if (track.size() > 1 && track[0] == ';') {
        start = 1;
        end = track.find('=', start);
    }
    return end != std::string_view::npos && end > start &&
           isMaskedAccountNumber(track.substr(start, end - start));
}

bool CardFields::parse(const std::string& text, CardFields* f, bool showCardData) {
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

    auto withhold = [&](const std::string& field, const std::string& value) {
        f->withheldFields.push_back({field, value.size()});
        f->withheld = true;
    };
    for (int i = 0; i < 3; ++i) {
        const std::string& masked = v[27 + i];
        if (masked.empty()) {
            continue;
        }
        if (showCardData || carriesMasking(masked)) {
            f->masked[i] = masked;
        } else {
            withhold("maskedTracks[" + std::to_string(i) + "]", masked);
        }
    }

    const std::string& firstName = v[19];
    const std::string& lastName = v[20];
    const std::string& pan = v[21];
    const std::string& month = v[22];
    const std::string& year = v[23];
    const std::string& t1 = f->masked[0];
    const std::string& t2 = f->masked[1];
    auto keep = [&](const char* field, const std::string& value, bool masked, std::string* out) {
        if (value.empty()) {
            return;
        }
        if (showCardData || (masked && containedIn(value, t1, t2))) {
            *out = value;
        } else {
            withhold(field, value);
        }
    };
    keep("pan", pan, isMaskedAccountNumber(pan), &f->pan);
    keep("firstName", firstName, true, &f->firstName);
    keep("lastName", lastName, true, &f->lastName);
    if (!month.empty() || !year.empty()) {
        // Tracks carry the expiry date as YYMM.
        if (showCardData || containedIn(year + month, t1, t2)) {
            f->month = month;
            f->year = year;
        } else {
            withhold("expiry", year + month);
        }
    }
    return true;
}

}  // namespace quorin::cli
