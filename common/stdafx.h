// Hex and string helpers shared by every subsystem.
//
// Hex text is how bytes cross the library boundary and move between the
// subsystems: two digits per byte, no separators. Produced hex is upper case
// unless a function says otherwise. Reading hex never fails: every reader
// below defines a result for any input (odd lengths, stray characters).
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "common/CardText.h"

namespace quorin {

// Decodes hex text in chunks of two characters from the start; a final single
// character is a chunk of its own. Each chunk is read like strtoul(chunk, 16):
// leading blanks and a sign are accepted, reading stops at the first non-digit,
// a chunk without digits is 0, and the byte is the low 8 bits of the number.
std::vector<unsigned char> H2BV(const std::string& hex);
// Two upper-case hex digits per byte.
std::string BV2H(const std::vector<unsigned char>& binary);
std::string B2H(const unsigned char* buffer, int bufferLen);
template <typename A>
std::string BV2H(const std::vector<unsigned char, A>& binary) {
    return B2H(binary.data(), static_cast<int>(binary.size()));
}
// Decodes with H2BV. Copies only when buffer and bufferLen are set and
// *bufferLen (the capacity) holds the decoded count; always stores the count.
void H2B(const std::string& hex, unsigned char* buffer, int* bufferLen);
// As BV2H over the first bufferLen bytes; empty text for a null buffer or a
// non-positive length.
std::string B2H(const unsigned char* buffer, int bufferLen);
// H2BV and B2H into card data storage (see common/CardText.h): out is
// replaced; B2H may throw std::bad_alloc.
void H2BV(std::string_view hex, CardBytes& out);
void B2H(const unsigned char* buffer, int bufferLen, CardText& out);
// The conversions below that no library path calls today (I2HEX, UL2HEX,
// US2HEX4, UL2HEX8, DUP, ALL, REVERSE, s2ws, ws2s, ESCAPE, H2ASCII) stay as
// the shared toolkit a reader model's command or field formatting would call.
// Big-endian bytes without leading zero bytes; 0 and negatives give "00".
std::string I2HEX(int i);
// Eight bytes big-endian: sixteen hex digits.
std::string UL2HEX(unsigned long i);
std::string US2HEX4(unsigned short i);  // "%04X"
std::string UL2HEX8(unsigned long i);   // "%08lX"
std::string DUP(const std::string& source, int multiply);
std::string UPPER(std::string source);
std::string LOWER(std::string source);
bool ALL(const std::string& source, const std::function<bool(int)>& pred);
// Splits at every occurrence of delimeter. An empty delimiter gives {source};
// an empty source gives {}; a trailing delimiter adds no empty last element.
std::vector<std::string> SPLIT(const std::string& source, const std::string& delimeter);
// Blank means space and horizontal tab only.
std::string TRIMLEFT(const std::string& source);
std::string TRIMRIGHT(const std::string& source);
std::string TRIM(const std::string& source);
std::string& REVERSE(std::string& s);
// Removes leading and trailing characters of " \t\r\n".
std::string trimString(const std::string& source);
// UTF-8 <-> wide text. Both throw std::range_error on text that cannot be
// converted.
std::wstring s2ws(const std::string& str);
std::string ws2s(const std::wstring& wstr);
// JSON-style escaping of \b \t \n \f \r " / and backslash.
std::string ESCAPE(const std::string& input);
// Decodes with H2B and returns the bytes as text up to the first zero byte.
std::string H2ASCII(const std::string& hex);
std::string ASCII2H(const std::string& ascii);
void SLEEP(int millisecond);
// '0'-'9' -> 0-9, 'A'-'F' and 'a'-'f' -> 10-15, anything else -1.
int char2int(char input);
// Pairs of characters of the NUL-terminated src become bytes
// (16 * char2int(a) + char2int(b), low 8 bits); an unpaired last digit is
// ignored. At most targetSize bytes are written; *plen receives the count.
// Returns 0. The unbounded form trusts target to hold strlen(src) / 2 bytes.
int ConvertASCIIHexToByteArray(const char* src, unsigned char* target, int* plen);
int ConvertASCIIHexToByteArray(const char* src, unsigned char* target, int* plen, int targetSize);
// Upper-case hex of the bytes, stopping before a byte whose two digits and
// the terminating NUL would not fit in dwOutSize characters. Always
// NUL-terminated when dwOutSize > 0.
void ByteArrayToHexStr(const unsigned char* byteArray, long dwArrayLen, char* strOut,
                       long dwOutSize);
// Decodes pairs of hex digits into a process-wide 8192-byte buffer (at most
// 8191 bytes of result, always NUL-terminated) and returns it. The buffer is
// shared by all callers and reused by the next call. A single trailing digit
// is ignored.
char* HexToASCII(const char* input);
bool IS_ALPHA_NUEx(char ch);

// Debug sinks: they deliberately produce nothing. A protocol trace would call
// them; diagnostics a host controls go through common/Diagnostics instead.
void DebugOutput(const char* lpszFormat, ...);
void DebugOutputProtocol(const char* lpszFormat, ...);

}  // namespace quorin
