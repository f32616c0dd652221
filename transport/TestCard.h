// The test card that stands in for a real one in a recording.
//
// Every rule here replaces bytes in place and keeps their number, so a
// recorded report or notification keeps its layout and still decodes: the
// account number becomes "4111...1" with a valid check digit (4111 1111 1111
// 1111 for 16 digits), the name "TEST/CARD", the expiry date and service code
// "4912" and "101", other digits '0' and other letters 'X'. Separators,
// sentinels and padding stay as they were.
//
// Each function returns how many bytes it changed (0: nothing was card data).
#pragma once

#include <cstddef>
#include <cstdint>

namespace quorin {

class TestCard {
public:
    // The test account number of n digits (13..19 in practice), as ASCII,
    // into out[0..n).
    static void accountNumber(size_t n, char* out);
    // True when the n digits at p (ASCII) pass the Luhn check.
    static bool luhn(const char* p, size_t n);

    // A track text ("%B...^NAME^YYMM...?", ";...=YYMM...?", a track 3, an
    // EMV track 1 equivalent "B...^NAME^..."): the first run of 12 to 19
    // digits is the account number; the seven digits after the field that
    // follows it are the expiry date and service code; the letters between
    // the first two '^' are the name; the letter right before the account
    // number (the format code) is kept.
    static size_t track(char* p, size_t n);
    // A name ("DOE/JOHN Q"): letters before the '/' cycle through "TEST",
    // after it through "CARD".
    static size_t name(char* p, size_t n);
    // Text that is card data of no known layout: digits '0', letters 'X'.
    static size_t opaqueText(char* p, size_t n);

    // Packed BCD, one digit per nibble, 'D' the field separator and 'F' the
    // padding (EMV tags 5A, 57, 9F6B): the digits before the first 'D' are
    // the account number, the seven after it the expiry date and service
    // code, the rest '0'.
    static size_t bcdTrack(uint8_t* p, size_t n);
    // Packed BCD of no known layout (9F20): every digit nibble '0'.
    static size_t bcdOpaque(uint8_t* p, size_t n);

    // Account numbers anywhere: runs of 13 to 19 ASCII digits (single spaces
    // or dashes between them allowed) that pass the Luhn check, and nothing
    // longer around them, become the test number.
    static size_t asciiAccountNumbers(uint8_t* p, size_t n);
    // The same for runs of packed BCD digits (13 to 19, an odd count padded
    // with 'F').
    static size_t bcdAccountNumbers(uint8_t* p, size_t n);
};

}  // namespace quorin
