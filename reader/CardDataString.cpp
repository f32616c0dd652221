#include "reader/CardDataString.h"

#include <charconv>
#include <cstring>

namespace quorin {

namespace {
// Appends the fields of a record, each after a delimiter but the first,
// straight into one text: a swipe's string is built on the receiving
// thread, and a temporary string per field would cost an allocation each.
// Without a buffer it only counts, so the text can be allocated once at its
// exact length (a few hundred bytes; the record is 6 KiB) and then written
// through a pointer.
class FieldWriter {
public:
    // out, when given, has room for the length a counting pass found.
    FieldWriter(char* out, const std::string& delimiter) : m_out(out), m_delimiter(delimiter) {}

    // A record field up to its terminator, never past its array.
    template <size_t N>
    void text(const char (&field)[N]) {
        separate();
        put(field, strnlen(field, N));
    }
    void number(long value) {
        char digits[24];
        const std::to_chars_result end = std::to_chars(digits, digits + sizeof(digits), value);
        separate();
        put(digits, static_cast<size_t>(end.ptr - digits));
    }
    // Sixteen upper-case hex digits, most significant first.
    void hex16(unsigned long value) {
        static constexpr char DIGITS[] = "0123456789ABCDEF";
        char digits[16];
        for (int i = 15; i >= 0; --i, value >>= 4) {
            digits[i] = DIGITS[value & 0x0F];
        }
        separate();
        put(digits, sizeof(digits));
    }
    void delimiter() { put(m_delimiter.data(), m_delimiter.size()); }
    size_t length() const { return m_length; }

private:
    void separate() {
        if (m_first) {
            m_first = false;
        } else {
            delimiter();
        }
    }
    void put(const char* text, size_t length) {
        if (m_out != nullptr && length != 0) {
            std::memcpy(m_out + m_length, text, length);
        }
        m_length += length;
    }

    char* m_out;
    const std::string& m_delimiter;
    bool m_first = true;
    size_t m_length = 0;
};

void writeFields(FieldWriter& w, const ZDMSRDATA& msr, bool firstGeneration) {
    w.hex16(static_cast<unsigned long>(msr.m_dwReaderID));
    w.text(msr.m_szDeviceSerialNumber);
    w.number(msr.m_dwCardSwipeStatus);
    w.number(msr.m_dwCardEncodeType);
    w.number(msr.m_dwTrack1DcdStatus);
    w.number(msr.m_dwTrack2DcdStatus);
    w.number(msr.m_dwTrack3DcdStatus);
    if (firstGeneration) {
        w.number(msr.m_dwFluxmarkStatus);
    } else {
        w.text(msr.m_szFluxmarkStatus);
    }
    w.number(msr.m_dwTrack1Length);
    w.number(msr.m_dwTrack2Length);
    w.number(msr.m_dwTrack3Length);
    w.number(msr.m_dwTrack1LengthMasked);
    w.number(msr.m_dwTrack2LengthMasked);
    w.number(msr.m_dwTrack3LengthMasked);
    w.number(msr.m_dwFluxmarkLength);
    w.text(msr.m_szCardData);
    w.text(msr.m_szCardDataMasked);
    w.text(msr.m_szDUKPTSessionID);
    w.text(msr.m_szDUKPTKSN);
    w.text(msr.m_szFirstName);
    w.text(msr.m_szLastName);
    w.text(msr.m_szPAN);
    w.text(msr.m_szMonth);
    w.text(msr.m_szYear);
    w.text(msr.m_szTrack1Data);
    w.text(msr.m_szTrack2Data);
    w.text(msr.m_szTrack3Data);
    w.text(msr.m_szTrack1DataMasked);
    w.text(msr.m_szTrack2DataMasked);
    w.text(msr.m_szTrack3DataMasked);
    w.text(msr.m_szFluxmarkData);
    w.number(msr.m_dwBatteryLevel);
    if (firstGeneration) {
        w.delimiter();
    }
}
}  // namespace

CardText CardDataString::format(const ZDMSRDATA& msr, const std::string& delimiter) {
    CardText out;
    build(msr, delimiter, false, out);
    return out;
}

void CardDataString::formatInto(const ZDMSRDATA& msr, const std::string& delimiter, CardText& out) {
    build(msr, delimiter, false, out);
}

CardText CardDataString::formatFirstGeneration(const ZDMSRDATA& msr, const std::string& delimiter) {
    CardText out;
    build(msr, delimiter, true, out);
    return out;
}

void CardDataString::build(const ZDMSRDATA& msr, const std::string& delimiter, bool firstGeneration,
                           CardText& out) {
    FieldWriter counter(nullptr, delimiter);
    writeFields(counter, msr, firstGeneration);
    // Storage that held another card keeps none of it past the new text.
    out.wipeKeepStorage();
    out.resize(counter.length());
    if (!out.empty()) {
        FieldWriter w(&out[0], delimiter);
        writeFields(w, msr, firstGeneration);
    }
}

}  // namespace quorin
