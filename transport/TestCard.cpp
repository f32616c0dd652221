#include "transport/TestCard.h"

#include <string>

#include "common/CardText.h"

namespace quorin {

namespace {

constexpr size_t MIN_PAN = 13;
constexpr size_t MAX_PAN = 19;
constexpr size_t MIN_TRACK_PAN = 12;
// Expiry date (YYMM) and service code of the test card.
constexpr char EXPIRY_AND_SERVICE[] = "4912101";
constexpr size_t EXPIRY_DIGITS = sizeof(EXPIRY_AND_SERVICE) - 1;
constexpr uint8_t BCD_SEPARATOR = 0xD;

bool isDigit(uint8_t c) {
    return c >= '0' && c <= '9';
}

bool isLetter(uint8_t c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// Luhn over digit values (0..9). The copies of the digits made to check
// them are card texts: wiped when they go.
bool luhnValues(const CardText& values) {
    int sum = 0;
    bool twice = false;
    for (size_t i = values.size(); i-- > 0;) {
        int d = values[i];
        if (twice) {
            d *= 2;
            if (d > 9) {
                d -= 9;
            }
        }
        sum += d;
        twice = !twice;
    }
    return !values.empty() && sum % 10 == 0;
}

// Writes c over *p; counts the change.
template <class T>
void put(T* p, T c, size_t* changed) {
    if (*p != c) {
        *p = c;
        ++*changed;
    }
}

uint8_t nibble(const uint8_t* p, size_t k) {
    return k % 2 == 0 ? p[k / 2] >> 4 : p[k / 2] & 0x0F;
}

void setNibble(uint8_t* p, size_t k, uint8_t v, size_t* changed) {
    uint8_t b = k % 2 == 0 ? static_cast<uint8_t>((p[k / 2] & 0x0F) | (v << 4))
                           : static_cast<uint8_t>((p[k / 2] & 0xF0) | v);
    put(&p[k / 2], b, changed);
}

// The letters of a name: "TEST" before the '/', "CARD" after it.
struct NameLetters {
    bool afterSlash = false;
    size_t k = 0;
    char next(char c) {
        if (c == '/') {
            afterSlash = true;
            k = 0;
            return c;
        }
        static const char LETTERS[2][5] = {"TEST", "CARD"};
        return LETTERS[afterSlash ? 1 : 0][k++ % 4];
    }
};

}  // namespace

void TestCard::accountNumber(size_t n, char* out) {
    if (n == 0) {
        return;
    }
    std::string digits(n, '1');
    digits[0] = '4';
    if (n == 1) {
        out[0] = '4';
        return;
    }
    for (char check = '0'; check <= '9'; ++check) {
        digits[n - 1] = check;
        if (luhn(digits.data(), n)) {
            break;
        }
    }
    digits.copy(out, n);
}

bool TestCard::luhn(const char* p, size_t n) {
    CardText values;
    for (size_t i = 0; i < n; ++i) {
        if (!isDigit(static_cast<uint8_t>(p[i]))) {
            return false;
        }
        values.push_back(static_cast<char>(p[i] - '0'));
    }
    return luhnValues(values);
}

size_t TestCard::track(char* p, size_t n) {
    const CardText text(p, n);
    size_t panStart = std::string::npos;
    size_t panEnd = std::string::npos;
    for (size_t i = 0; i < n;) {
        if (!isDigit(static_cast<uint8_t>(text[i]))) {
            ++i;
            continue;
        }
        size_t j = i;
        while (j < n && isDigit(static_cast<uint8_t>(text[j]))) {
            ++j;
        }
        if (j - i >= MIN_TRACK_PAN && j - i <= MAX_PAN) {
            panStart = i;
            panEnd = j;
            break;
        }
        i = j;
    }
    const size_t caret1 = text.find('^');
    const size_t caret2 = caret1 == std::string::npos ? caret1 : text.find('^', caret1 + 1);
    // Where the expiry date starts: right after a '=' that ends the account
    // number, or after the name field that a '^' opens there.
    size_t expiry = std::string::npos;
    if (panEnd < n && text[panEnd] == '=') {
        expiry = panEnd + 1;
    } else if (panEnd < n && text[panEnd] == '^') {
        size_t close = text.find('^', panEnd + 1);
        expiry = close == std::string::npos ? close : close + 1;
    }
    std::string pan(panStart == std::string::npos ? 0 : panEnd - panStart, '0');
    accountNumber(pan.size(), &pan[0]);

    size_t changed = 0;
    size_t expiryDigits = 0;
    NameLetters letters;
    for (size_t i = 0; i < n; ++i) {
        const uint8_t c = static_cast<uint8_t>(text[i]);
        const bool inName = caret2 != std::string::npos && i > caret1 && i < caret2;
        if (panStart != std::string::npos && i >= panStart && i < panEnd) {
            put(&p[i], pan[i - panStart], &changed);
        } else if (isDigit(c)) {
            const bool expiryField = expiry != std::string::npos && i >= expiry &&
                                     i == expiry + expiryDigits && expiryDigits < EXPIRY_DIGITS;
            put(&p[i], expiryField ? EXPIRY_AND_SERVICE[expiryDigits++] : '0', &changed);
        } else if (inName && (isLetter(c) || c == '/')) {
            put(&p[i], letters.next(static_cast<char>(c)), &changed);
        } else if (isLetter(c) && !(panStart != std::string::npos && i + 1 == panStart)) {
            put(&p[i], 'X', &changed);
        }
    }
    return changed;
}

size_t TestCard::name(char* p, size_t n) {
    size_t changed = 0;
    NameLetters letters;
    for (size_t i = 0; i < n; ++i) {
        const uint8_t c = static_cast<uint8_t>(p[i]);
        if (isLetter(c) || c == '/') {
            put(&p[i], letters.next(static_cast<char>(c)), &changed);
        } else if (isDigit(c)) {
            put(&p[i], '0', &changed);
        }
    }
    return changed;
}

size_t TestCard::opaqueText(char* p, size_t n) {
    size_t changed = 0;
    for (size_t i = 0; i < n; ++i) {
        const uint8_t c = static_cast<uint8_t>(p[i]);
        if (isDigit(c)) {
            put(&p[i], '0', &changed);
        } else if (isLetter(c)) {
            put(&p[i], 'X', &changed);
        }
    }
    return changed;
}

size_t TestCard::bcdTrack(uint8_t* p, size_t n) {
    const size_t nibbles = 2 * n;
    size_t panDigits = 0;
    while (panDigits < nibbles && nibble(p, panDigits) <= 9) {
        ++panDigits;
    }
    std::string pan(panDigits, '0');
    accountNumber(panDigits, &pan[0]);
    size_t changed = 0;
    bool afterSeparator = false;
    size_t expiryDigits = 0;
    for (size_t k = 0; k < nibbles; ++k) {
        const uint8_t v = nibble(p, k);
        if (k < panDigits) {
            setNibble(p, k, static_cast<uint8_t>(pan[k] - '0'), &changed);
        } else if (v == BCD_SEPARATOR) {
            afterSeparator = true;
        } else if (v <= 9) {
            const bool expiry = afterSeparator && expiryDigits < EXPIRY_DIGITS;
            setNibble(p, k,
                      expiry ? static_cast<uint8_t>(EXPIRY_AND_SERVICE[expiryDigits++] - '0') : 0,
                      &changed);
        }
    }
    return changed;
}

size_t TestCard::bcdOpaque(uint8_t* p, size_t n) {
    size_t changed = 0;
    for (size_t k = 0; k < 2 * n; ++k) {
        if (nibble(p, k) <= 9) {
            setNibble(p, k, 0, &changed);
        }
    }
    return changed;
}

size_t TestCard::asciiAccountNumbers(uint8_t* p, size_t n) {
    size_t changed = 0;
    for (size_t i = 0; i < n;) {
        if (!isDigit(p[i])) {
            ++i;
            continue;
        }
        CardText digits;
        std::basic_string<size_t> at;
        size_t j = i;
        while (j < n && at.size() <= MAX_PAN) {
            if (isDigit(p[j])) {
                at.push_back(j);
                digits.push_back(static_cast<char>(p[j]));
                ++j;
            } else if ((p[j] == ' ' || p[j] == '-') && j + 1 < n && isDigit(p[j + 1])) {
                ++j;
            } else {
                break;
            }
        }
        while (j < n && isDigit(p[j])) {
            ++j;  // a longer number: not an account number
        }
        if (at.size() >= MIN_PAN && at.size() <= MAX_PAN && (j >= n || !isDigit(p[j])) &&
            luhn(digits.data(), digits.size())) {
            std::string pan(at.size(), '0');
            accountNumber(pan.size(), &pan[0]);
            for (size_t k = 0; k < at.size(); ++k) {
                put(&p[at[k]], static_cast<uint8_t>(pan[k]), &changed);
            }
        }
        i = j;
    }
    return changed;
}

size_t TestCard::bcdAccountNumbers(uint8_t* p, size_t n) {
    size_t changed = 0;
    const size_t nibbles = 2 * n;
    for (size_t k = 0; k < nibbles;) {
        if (nibble(p, k) > 9) {
            ++k;
            continue;
        }
        size_t end = k;
        while (end < nibbles && nibble(p, end) <= 9) {
            ++end;
        }
        // A run starts on a byte boundary; an odd count ends in 'F' padding.
        const size_t start = k + k % 2;
        const size_t count = end > start ? end - start : 0;
        const bool padded = count % 2 == 0 || (end < nibbles && nibble(p, end) == 0xF);
        if (count >= MIN_PAN && count <= MAX_PAN && padded) {
            CardText values;
            for (size_t d = start; d < end; ++d) {
                values.push_back(static_cast<char>(nibble(p, d)));
            }
            if (luhnValues(values)) {
                std::string pan(count, '0');
                accountNumber(count, &pan[0]);
                for (size_t d = 0; d < count; ++d) {
                    setNibble(p, start + d, static_cast<uint8_t>(pan[d] - '0'), &changed);
                }
            }
        }
        k = end;
    }
    return changed;
}

}  // namespace quorin
