// Card-data report decoding of the reader object: the raw record rawData,
// the reduced record cardData handed to hosts, and the card data string.
//
// Card-data input report (offsets from the first byte delivered, numbers
// little-endian; bracketed values are the layout of encrypting models, whose
// track fields are 112 bytes wide):
//
//   0        routing byte (not read here)
//   1..3     decode status of tracks 1..3
//   4..6     length of tracks 1..3
//   7        card encode type
//   8        track 1 field, 110 (112) bytes
//   118(120) track 2 field
//   228(232) track 3 field
//   --- extended report (longer than 338 bytes) only:
//   345      Fluxmark status (4)       349 Fluxmark length    350 Fluxmark (128)
//   478      serial number (16)        494 encryption status (2)
//   496      DUKPT key serial number (10)
//   506..508 masked lengths            509/621/733 masked tracks (112 each)
//   845      session id (8)            931 battery level (reports of 932+)
//
// Every length byte is clamped to its field and to the bytes actually
// received, so no report of any length or content reads or writes outside its
// buffers; the recorded lengths are the clamped ones and so always match the
// data kept. A report that ends before a field it announces (cut short on
// the way) is not decoded at all: a cut track is never handed on as a card.
//
// The tracks are card data: the work areas that see them (the raw record,
// the name and field scratch buffers) are wiped when the decoding is done.
#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>

#include "common/FieldText.h"
#include "common/MutexLock.h"
#include "common/ResultCode.h"
#include "common/stdafx.h"
#include "reader/CardDataString.h"
#include "reader/MsrDataParser.h"
#include "reader/Strivo.h"

namespace quorin {

const CardEncodeTypeName card_encode_type_str[7] = {
    {0, "ISO"},   {1, "AAMVA"},        {2, "CADL"}, {3, "BLANK"},
    {4, "OTHER"}, {5, "UNDETERMINED"}, {6, "NONE"},
};

namespace {

constexpr int SHORT_REPORT_MAX = 338;
constexpr int TRACK1_OFFSET = 8;
constexpr int TRACK_FIELD = 110;
constexpr int TRACK2_OFFSET = 118;
constexpr int TRACK3_OFFSET = 228;
constexpr int TRACK_FIELD_ENCRYPTED = 112;
constexpr int TRACK2_OFFSET_ENCRYPTED = 120;
constexpr int TRACK3_OFFSET_ENCRYPTED = 232;
constexpr int FLUXMARK_STATUS_OFFSET = 345;
constexpr int FLUXMARK_LENGTH_OFFSET = 349;
constexpr int FLUXMARK_OFFSET = 350;
constexpr int FLUXMARK_FIELD = 128;
constexpr int SERIAL_OFFSET = 478;
constexpr int SERIAL_FIELD = 16;
constexpr int ENCRYPTION_STATUS_OFFSET = 494;
constexpr int KSN_OFFSET = 496;
constexpr int KSN_FIELD = 10;
constexpr int MASKED_LENGTH_OFFSET = 506;
constexpr int MASKED_OFFSET[3] = {509, 621, 733};
constexpr int MASKED_FIELD = 112;
constexpr int SESSION_ID_OFFSET = 845;
constexpr int SESSION_ID_FIELD = 8;
constexpr int BATTERY_OFFSET = 931;
constexpr long BATTERY_ABSENT = 100;

// Bounded view of one received report: bytes past its end read as zero,
// and reading one marks the report cut short.
class Report {
public:
    Report(const unsigned char* data, int length)
        : m_data(data), m_length(data != nullptr && length > 0 ? length : 0) {}
    int length() const { return m_length; }
    unsigned char at(int offset) const {
        if (offset >= 0 && offset < m_length) {
            return m_data[offset];
        }
        m_cut = true;
        return 0;
    }
    // Copies up to count bytes of the field at offset into out (capacity
    // outSize, which keeps room for a NUL after the bytes); returns the number
    // copied, cut to the bytes received.
    int copy(int offset, int count, char* out, int outSize) const {
        int n = std::min(count, outSize - 1);
        if (n > 0 && n > m_length - offset) {
            m_cut = true;
            n = m_length - offset;
        }
        if (n <= 0) {
            return 0;
        }
        std::memcpy(out, m_data + offset, static_cast<size_t>(n));
        return n;
    }
    // A field read ran past the end: the report was cut short.
    bool cut() const { return m_cut; }

private:
    const unsigned char* m_data;
    int m_length;
    mutable bool m_cut = false;
};

// Copies a text field of the report: at most min(length, field) bytes, cut to
// the bytes received, NUL after them. Returns the number kept.
long copyTrack(const Report& report, int offset, long length, int field, char* out, int outSize) {
    int wanted = static_cast<int>(std::min<long>(std::max<long>(length, 0), field));
    int n = report.copy(offset, wanted, out, outSize);
    out[n] = '\0';
    return n;
}

// NUL-terminated copy of src (read at most srcSize characters) into dst of
// dstSize characters. Hex texts are cut at a whole byte.
void copyText(char* dst, size_t dstSize, const char* src, size_t srcSize, bool hex = false) {
    // An empty source may have no storage at all (an empty view).
    size_t n = srcSize == 0 ? 0 : strnlen(src, srcSize);
    if (n > dstSize - 1) {
        n = dstSize - 1;
        if (hex) {
            n &= ~static_cast<size_t>(1);
        }
    }
    if (n != 0) {
        std::memcpy(dst, src, n);
    }
    dst[n] = '\0';
}

template <size_t N, size_t M>
void copyText(char (&dst)[N], const char (&src)[M], bool hex = false) {
    copyText(dst, N, src, M, hex);
}

// Copies value, up to a NUL in it, into dst, cut to fit.
template <size_t N>
void setText(char (&dst)[N], std::string_view value) {
    copyText(dst, N, value.data(), value.size());
}

template <size_t N>
void appendText(char (&dst)[N], const char* src, size_t srcSize) {
    size_t used = strnlen(dst, N);
    copyText(dst + used, N - used, src, srcSize);
}

constexpr const char* BLANKS = " \t";

std::string_view trimLeft(std::string_view text) {
    size_t pos = text.find_first_not_of(BLANKS);
    return pos == std::string_view::npos ? std::string_view() : text.substr(pos);
}

std::string_view trim(std::string_view text) {
    text = trimLeft(text);
    size_t pos = text.find_last_not_of(BLANKS);
    return pos == std::string_view::npos ? std::string_view() : text.substr(0, pos + 1);
}

void hexOf(const void* bytes, long count, char* out, long outSize) {
    ByteArrayToHexStr(static_cast<const unsigned char*>(bytes), count, out, outSize);
}

// Fills the byte fields of raw from one report, by the model's capabilities.
// False for a report cut short of a field it announces.
bool decodeReport(const Report& report, const CRConfigTable& caps, ZEDRADATA& raw) {
    raw.m_dwTk1DcdStatus = report.at(1);
    raw.m_dwTk2DcdStatus = report.at(2);
    raw.m_dwTk3DcdStatus = report.at(3);
    raw.m_dwTk1Length = report.at(4);
    raw.m_dwTk2Length = report.at(5);
    raw.m_dwTk3Length = report.at(6);
    raw.m_dwCardEncodeType = report.at(7);

    const bool encrypted = caps.dwEncryptionCapable == 1;
    const int field = encrypted ? TRACK_FIELD_ENCRYPTED : TRACK_FIELD;
    const int offset2 = encrypted ? TRACK2_OFFSET_ENCRYPTED : TRACK2_OFFSET;
    const int offset3 = encrypted ? TRACK3_OFFSET_ENCRYPTED : TRACK3_OFFSET;
    raw.m_dwTk1Length = copyTrack(report, TRACK1_OFFSET, raw.m_dwTk1Length, field,
                                  raw.m_szTk1DataRaw, sizeof(raw.m_szTk1DataRaw));
    raw.m_dwTk2Length = copyTrack(report, offset2, raw.m_dwTk2Length, field, raw.m_szTk2DataRaw,
                                  sizeof(raw.m_szTk2DataRaw));
    raw.m_dwTk3Length = copyTrack(report, offset3, raw.m_dwTk3Length, field, raw.m_szTk3DataRaw,
                                  sizeof(raw.m_szTk3DataRaw));

    if (report.length() > SHORT_REPORT_MAX) {
        if (caps.dwMaskingCapable == 1) {
            char* masked[3] = {raw.m_szTk1DataMasked, raw.m_szTk2DataMasked, raw.m_szTk3DataMasked};
            long* maskedLength[3] = {&raw.m_dwTk1LengthMasked, &raw.m_dwTk2LengthMasked,
                                     &raw.m_dwTk3LengthMasked};
            for (int i = 0; i < 3; ++i) {
                *maskedLength[i] =
                    copyTrack(report, MASKED_OFFSET[i], report.at(MASKED_LENGTH_OFFSET + i),
                              MASKED_FIELD, masked[i], sizeof(raw.m_szTk1DataMasked));
            }
        }
        if (caps.dwSessionIDCapable == 1) {
            report.copy(SESSION_ID_OFFSET, SESSION_ID_FIELD, raw.m_szDUKPTSessionIDRaw,
                        sizeof(raw.m_szDUKPTSessionIDRaw));
        }
        if (caps.dwDUKPTKSNCapable == 1) {
            report.copy(KSN_OFFSET, KSN_FIELD, raw.m_szDUKPTKSNRaw, sizeof(raw.m_szDUKPTKSNRaw));
        }
        if (caps.dwFluxmarkCapable == 1) {
            unsigned long status = 0;
            for (int i = 3; i >= 0; --i) {
                status = (status << 8) | report.at(FLUXMARK_STATUS_OFFSET + i);
            }
            raw.m_dwFluxmarkStatus = static_cast<long>(status);
            raw.m_dwFluxmarkLength =
                copyTrack(report, FLUXMARK_OFFSET, report.at(FLUXMARK_LENGTH_OFFSET),
                          FLUXMARK_FIELD, raw.m_szFluxmarkDataRaw, FLUXMARK_FIELD + 1);
        }
        if (caps.dwDeviceSerialNumberCapable == 1) {
            report.copy(SERIAL_OFFSET, SERIAL_FIELD, raw.m_szDeviceSerialNumber, SERIAL_FIELD + 1);
        }
        raw.m_dwEncryptionStatus =
            report.at(ENCRYPTION_STATUS_OFFSET) + 256L * report.at(ENCRYPTION_STATUS_OFFSET + 1);
        raw.m_dwBatteryLevel =
            report.length() > BATTERY_OFFSET ? report.at(BATTERY_OFFSET) : BATTERY_ABSENT;
    } else {
        // A short report carries no masked tracks: the clear tracks stand in.
        raw.m_dwTk1LengthMasked = raw.m_dwTk1Length;
        raw.m_dwTk2LengthMasked = raw.m_dwTk2Length;
        raw.m_dwTk3LengthMasked = raw.m_dwTk3Length;
        copyText(raw.m_szTk1DataMasked, raw.m_szTk1DataRaw);
        copyText(raw.m_szTk2DataMasked, raw.m_szTk2DataRaw);
        copyText(raw.m_szTk3DataMasked, raw.m_szTk3DataRaw);
    }

    raw.m_dwCardSwipeStatus =
        ((raw.m_dwTk1DcdStatus | raw.m_dwTk2DcdStatus | raw.m_dwTk3DcdStatus) & 1) != 0
            ? ZEDRA_CARDREAD_ERROR
            : ZEDRA_CARDREAD_OK;
    return !report.cut();
}

// Fetches one byte field through the connection's decoder into out
// (capacity outSize); copies only what the decoder vouches for.
void decodeBytesInto(iConnection* conn, int id, char* out, int outSize, void* data, int len) {
    if (conn == nullptr || out == nullptr || outSize <= 0) {
        return;
    }
    unsigned char scratch[512] = {};
    int count = sizeof(scratch);
    if (conn->getBytes(id, scratch, &count, data, len)) {
        count = std::max(0, std::min(count, std::min<int>(sizeof(scratch), outSize)));
        std::memcpy(out, scratch, static_cast<size_t>(count));
    }
    CardDataPool::wipe(scratch, sizeof(scratch));
}

}  // namespace

void Strivo::getMSRResult(const unsigned char* data, int dataLen) {
    const Report report(data, dataLen);
    msrRawData.clear();
    msrRawData.addBinary(data, static_cast<unsigned int>(report.length()));

    bool decoded = true;
    unsigned long clears = 0;
    {
        // The host's getCardData copies under the same lock, so it sees
        // either the previous record or this one, never a mix.
        MutexLock guard(cardLock);
        clears = m_clears;
        try {
            wipeRawRecord();
            CardDataPool::wipe(&cardData, sizeof(cardData));
            decoded = decodeReport(report, configTable, rawData);
            if (decoded) {
                updateData();
                copyToMsr();
            }
        } catch (...) {
            decoded = false;
        }
        // The reduced record is what is kept; the raw one was a work area.
        wipeRawRecord();
    }

    // The delegate is told without cardLock held: its card-data thread reads
    // the record back through getCardData.
    if (decoded) {
        try {
            withDelegate([&](Strivo_Delegate* d) {
                // A clear() since the decoding (the open path clears before
                // it attaches the delegate) withdrew this record: reporting
                // it now would hand the host an empty card as a swipe.
                if (clearsSince(clears) == 0) {
                    d->OnCardUpdate(this, ZEDRA_DATA_READY);
                }
            });
            return;
        } catch (...) {
        }
    }
    try {
        // The report is lost: the host learns it twice, as a failed card and
        // as lost data (the error callback and its count).
        char text[] = "Invalid input data!";
        setError(RC_TRANSFER_FAILED, text, nullptr);
        withDelegate([&](Strivo_Delegate* d) { d->OnCardUpdate(this, ZEDRA_DATA_ERROR); });
    } catch (...) {
        // Nothing more can be reported; the receiving thread goes on.
    }
}

void Strivo::updateData() {
    ZEDRADATA& raw = rawData;
    if (configTable.dwEncryptionCapable == 1) {
        // Ciphertext is carried as upper-case hex, never decoded.
        const char* source[3] = {raw.m_szTk1DataRaw, raw.m_szTk2DataRaw, raw.m_szTk3DataRaw};
        char* target[3] = {raw.m_szTk1Data, raw.m_szTk2Data, raw.m_szTk3Data};
        const long length[3] = {raw.m_dwTk1Length, raw.m_dwTk2Length, raw.m_dwTk3Length};
        for (int i = 0; i < 3; ++i) {
            target[i][0] = '\0';
            if (length[i] >= 1 && length[i] <= 255) {
                hexOf(source[i], length[i], target[i], sizeof(raw.m_szTk1Data));
            }
        }
    } else {
        copyText(raw.m_szTk1Data, raw.m_szTk1DataRaw);
        copyText(raw.m_szTk2Data, raw.m_szTk2DataRaw);
        copyText(raw.m_szTk3Data, raw.m_szTk3DataRaw);
    }

    raw.m_szCardData[0] = '\0';
    appendText(raw.m_szCardData, raw.m_szTk1Data, sizeof(raw.m_szTk1Data));
    appendText(raw.m_szCardData, raw.m_szTk2Data, sizeof(raw.m_szTk2Data));
    appendText(raw.m_szCardData, raw.m_szTk3Data, sizeof(raw.m_szTk3Data));
    raw.m_szCardDataMasked[0] = '\0';
    appendText(raw.m_szCardDataMasked, raw.m_szTk1DataMasked, sizeof(raw.m_szTk1DataMasked));
    appendText(raw.m_szCardDataMasked, raw.m_szTk2DataMasked, sizeof(raw.m_szTk2DataMasked));
    appendText(raw.m_szCardDataMasked, raw.m_szTk3DataMasked, sizeof(raw.m_szTk3DataMasked));

    if (raw.m_dwCardEncodeType >= 0 && raw.m_dwCardEncodeType <= 6) {
        setText(raw.m_szCardEncodeType, card_encode_type_str[raw.m_dwCardEncodeType].strType);
    } else {
        raw.m_szCardEncodeType[0] = '\0';
    }

    hexOf(raw.m_szDUKPTSessionIDRaw, SESSION_ID_FIELD, raw.m_szDUKPTSessionID,
          sizeof(raw.m_szDUKPTSessionID));

    raw.m_szFluxmarkStatus[0] = '\0';
    raw.m_szFluxmarkData[0] = '\0';
    if (configTable.dwFluxmarkCapable == 1) {
        // Report order: least significant byte first.
        unsigned char status[4];
        unsigned long value = static_cast<unsigned long>(raw.m_dwFluxmarkStatus);
        for (int i = 0; i < 4; ++i) {
            status[i] = static_cast<unsigned char>((value >> (8 * i)) & 0xFF);
        }
        hexOf(status, 4, raw.m_szFluxmarkStatus, sizeof(raw.m_szFluxmarkStatus));
        if (raw.m_dwFluxmarkLength > 0) {
            // 128 bytes would need 257 characters: the text keeps 127 bytes.
            hexOf(raw.m_szFluxmarkDataRaw, std::min<long>(raw.m_dwFluxmarkLength, FLUXMARK_FIELD),
                  raw.m_szFluxmarkData, sizeof(raw.m_szFluxmarkData));
        }
    }

    hexOf(raw.m_szDUKPTKSNRaw, KSN_FIELD, raw.m_szDUKPTKSN, sizeof(raw.m_szDUKPTKSN));

    extractData();
}

void Strivo::extractData() {
    ZEDRADATA& raw = rawData;
    const bool fromMasked = configTable.dwFluxmarkCapable == 1;
    const std::string_view track1 =
        fromMasked ? viewOf(raw.m_szTk1DataMasked) : viewOf(raw.m_szTk1Data);
    const std::string_view track2 =
        fromMasked ? viewOf(raw.m_szTk2DataMasked) : viewOf(raw.m_szTk2Data);

    raw.m_szFirstName[0] = '\0';
    raw.m_szLastName[0] = '\0';
    raw.m_szPAN[0] = '\0';
    raw.m_szMonth[0] = '\0';
    raw.m_szYear[0] = '\0';
    raw.m_szExpDate[0] = '\0';

    // Names from track 1 (work area of 255 characters).
    const std::string_view nameTrack = track1.substr(0, 255);
    if (nameTrack.find('^') != std::string_view::npos) {
        char work[256];
        std::memcpy(work, nameTrack.data(), nameTrack.size());
        work[nameTrack.size()] = '\0';
        if (raw.m_dwCardEncodeType == 1) {
            ExtractNameAAMVA(work);
        } else {
            ExtractNameISO(work);
        }
        CardDataPool::wipe(work, sizeof(work));
    }

    // ";PAN=YYMM..." from track 2 (work area of 127 characters).
    size_t semicolon = track2.find(';');
    if (semicolon != std::string_view::npos) {
        const std::string_view rest = track2.substr(semicolon + 1, 127);
        size_t equals = rest.find('=');
        if (equals != std::string_view::npos) {
            const std::string_view expiry = rest.substr(equals + 1, 4);
            setText(raw.m_szPAN, rest.substr(0, equals));
            setText(raw.m_szExpDate, expiry);
            setText(raw.m_szYear, expiry.substr(0, 2));
            setText(raw.m_szMonth, expiry.size() > 2 ? expiry.substr(2, 2) : std::string_view());
        }
    }

    // What track 2 did not give may still come from the masked track 1. The
    // parse only fills gaps, so it is skipped when track 2 left none (it is
    // the costliest step of a swipe's decoding).
    if (raw.m_szPAN[0] != '\0' && raw.m_szExpDate[0] != '\0') {
        return;
    }
    const CardText masked1(viewOf(raw.m_szTk1DataMasked));
    MsrDataParser parser(masked1.c_str(), masked1.c_str(), masked1.c_str(), -1);
    const std::string_view account = parser.GetAttribute("AccountNumber");
    if (raw.m_szPAN[0] == '\0' && !account.empty()) {
        setText(raw.m_szPAN, account);
    }
    const std::string_view expiry = parser.GetAttribute("ExpirationDate");
    if (raw.m_szExpDate[0] == '\0' && !expiry.empty()) {
        setText(raw.m_szExpDate, expiry);
        setText(raw.m_szYear, expiry.substr(0, 2));
        setText(raw.m_szMonth, expiry.size() > 2 ? expiry.substr(2, 2) : std::string_view());
    }
}

void Strivo::copyToMsr() {
    const ZEDRADATA& raw = rawData;
    ZDMSRDATA& msr = cardData;
    copyText(msr.m_szCardData, raw.m_szCardData, true);
    copyText(msr.m_szCardDataMasked, raw.m_szCardDataMasked);
    copyText(msr.m_szTrack1Data, raw.m_szTk1Data, true);
    copyText(msr.m_szTrack2Data, raw.m_szTk2Data, true);
    copyText(msr.m_szTrack3Data, raw.m_szTk3Data, true);
    copyText(msr.m_szTrack1DataMasked, raw.m_szTk1DataMasked);
    copyText(msr.m_szTrack2DataMasked, raw.m_szTk2DataMasked);
    copyText(msr.m_szTrack3DataMasked, raw.m_szTk3DataMasked);
    copyText(msr.m_szFluxmarkData, raw.m_szFluxmarkData, true);
    copyText(msr.m_szCardEncodeType, raw.m_szCardEncodeType);
    copyText(msr.m_szFluxmarkStatus, raw.m_szFluxmarkStatus);
    copyText(msr.m_szDUKPTSessionID, raw.m_szDUKPTSessionID);
    copyText(msr.m_szDeviceSerialNumber, raw.m_szDeviceSerialNumber);
    copyText(msr.m_szDUKPTKSN, raw.m_szDUKPTKSN);
    copyText(msr.m_szFirstName, raw.m_szFirstName);
    copyText(msr.m_szLastName, raw.m_szLastName);
    copyText(msr.m_szPAN, raw.m_szPAN);
    copyText(msr.m_szMonth, raw.m_szMonth);
    copyText(msr.m_szYear, raw.m_szYear);
    msr.m_dwReaderID = raw.m_dwDevicePID;
    msr.m_dwFluxmarkLength = raw.m_dwFluxmarkLength;
    msr.m_dwFluxmarkStatus = raw.m_dwFluxmarkStatus;
    msr.m_dwTrack1Length = raw.m_dwTk1Length;
    msr.m_dwTrack2Length = raw.m_dwTk2Length;
    msr.m_dwTrack3Length = raw.m_dwTk3Length;
    msr.m_dwTrack1LengthMasked = raw.m_dwTk1LengthMasked;
    msr.m_dwTrack2LengthMasked = raw.m_dwTk2LengthMasked;
    msr.m_dwTrack3LengthMasked = raw.m_dwTk3LengthMasked;
    msr.m_dwCardEncodeType = raw.m_dwCardEncodeType;
    msr.m_dwTrack1DcdStatus = raw.m_dwTk1DcdStatus;
    msr.m_dwTrack2DcdStatus = raw.m_dwTk2DcdStatus;
    msr.m_dwTrack3DcdStatus = raw.m_dwTk3DcdStatus;
    msr.m_dwCardSwipeStatus = raw.m_dwCardSwipeStatus;
    msr.m_dwBatteryLevel = raw.m_dwBatteryLevel;
    msr.m_dwEncryptionStatus = raw.m_dwEncryptionStatus;
}

void Strivo::ExtractNameISO(const char* track) {
    if (track == nullptr) {
        return;
    }
    // "%B" PAN "^" SURNAME/FIRST "^" data: the name is what lies between the
    // first separator and the last '^' (work area of 127 characters).
    std::string_view text(track);
    size_t last = text.rfind('^');
    if (last != std::string_view::npos) {
        text = text.substr(0, last);
    }
    text = text.substr(0, 127);
    size_t start = text.find('^');
    if (start == std::string_view::npos) {
        start = text.find('?');
    }
    if (start == std::string_view::npos) {
        return;
    }
    const std::string_view name = text.substr(start + 1);
    size_t slash = name.find('/');
    if (slash == std::string_view::npos) {
        rawData.m_szFirstName[0] = '\0';
        rawData.m_szLastName[0] = '\0';
        return;
    }
    setText(rawData.m_szFirstName, trim(name.substr(slash + 1)));
    setText(rawData.m_szLastName, trimLeft(name.substr(0, slash)));
}

void Strivo::ExtractNameAAMVA(const char* track) {
    if (track == nullptr || track[0] != '%') {
        return;
    }
    // "%" state (2) city (up to 13) "^" SURNAME$FIRST$MIDDLE "^" address.
    const std::string_view text(track);
    size_t caret = text.find('^');
    size_t start = caret != std::string_view::npos && caret <= 15 ? caret + 1 : 16;
    std::string_view name;
    if (start < text.size()) {
        size_t end = text.find('^', start);
        name = text.substr(start,
                           end == std::string_view::npos ? std::string_view::npos : end - start);
        name = name.substr(0, 35);
    }
    size_t dollar = name.find('$');
    if (dollar == std::string_view::npos) {
        setText(rawData.m_szFirstName, name);
        rawData.m_szLastName[0] = '\0';
        return;
    }
    std::string_view first = name.substr(dollar + 1);
    size_t second = first.find('$');
    if (second != std::string_view::npos) {
        first = first.substr(0, second);
    }
    setText(rawData.m_szLastName, name.substr(0, dollar));
    setText(rawData.m_szFirstName, first);
}

bool Strivo::decodeInputReport(const unsigned char* data, int dataLen) {
    void* block = const_cast<unsigned char*>(data);
    iConnection* conn = getConnection();
    MutexLock guard(cardLock);
    ZEDRADATA& raw = rawData;

    raw.m_dwTk1DcdStatus = static_cast<long>(decode_ulong(32, block, dataLen));
    raw.m_dwTk2DcdStatus = static_cast<long>(decode_ulong(33, block, dataLen));
    raw.m_dwTk3DcdStatus = static_cast<long>(decode_ulong(34, block, dataLen));
    raw.m_dwTk1Length = static_cast<long>(decode_ulong(40, block, dataLen));
    raw.m_dwTk2Length = static_cast<long>(decode_ulong(41, block, dataLen));
    raw.m_dwTk3Length = static_cast<long>(decode_ulong(42, block, dataLen));
    raw.m_dwCardEncodeType = static_cast<long>(decode_ulong(56, block, dataLen));

    // A byte field is fetched only when its length fits the field, and is
    // terminated right after that length.
    auto fetch = [&](int id, char* out, long length, int outSize) {
        if (length >= 0 && length < 256 && length < outSize) {
            decodeBytesInto(conn, id, out, static_cast<int>(length), block, dataLen);
            out[length] = '\0';
        }
    };
    fetch(48, raw.m_szTk1DataRaw, raw.m_dwTk1Length, sizeof(raw.m_szTk1DataRaw));
    fetch(49, raw.m_szTk2DataRaw, raw.m_dwTk2Length, sizeof(raw.m_szTk2DataRaw));
    fetch(50, raw.m_szTk3DataRaw, raw.m_dwTk3Length, sizeof(raw.m_szTk3DataRaw));

    if (configTable.dwFluxmarkCapable == 1) {
        raw.m_dwFluxmarkLength = static_cast<long>(decode_ulong(43, block, dataLen));
        raw.m_dwFluxmarkStatus = static_cast<long>(decode_ulong(35, block, dataLen));
        fetch(51, raw.m_szFluxmarkDataRaw, FLUXMARK_FIELD, sizeof(raw.m_szFluxmarkDataRaw));
    }
    if (configTable.dwDeviceSerialNumberCapable == 1) {
        fetch(64, raw.m_szDeviceSerialNumber, SERIAL_FIELD, sizeof(raw.m_szDeviceSerialNumber));
    }
    if (configTable.dwMaskingCapable == 1) {
        raw.m_dwTk1LengthMasked = static_cast<long>(decode_ulong(71, block, dataLen));
        raw.m_dwTk2LengthMasked = static_cast<long>(decode_ulong(72, block, dataLen));
        raw.m_dwTk3LengthMasked = static_cast<long>(decode_ulong(73, block, dataLen));
        fetch(74, raw.m_szTk1DataMasked, raw.m_dwTk1LengthMasked, sizeof(raw.m_szTk1DataMasked));
        fetch(75, raw.m_szTk2DataMasked, raw.m_dwTk2LengthMasked, sizeof(raw.m_szTk2DataMasked));
        fetch(76, raw.m_szTk3DataMasked, raw.m_dwTk3LengthMasked, sizeof(raw.m_szTk3DataMasked));
    }
    if (configTable.dwSessionIDCapable == 1) {
        fetch(80, raw.m_szDUKPTSessionIDRaw, SESSION_ID_FIELD, sizeof(raw.m_szDUKPTSessionIDRaw));
    }
    if (configTable.dwDUKPTKSNCapable == 1) {
        fetch(70, raw.m_szDUKPTKSNRaw, KSN_FIELD, sizeof(raw.m_szDUKPTKSNRaw));
    }

    raw.m_dwCardSwipeStatus =
        ((raw.m_dwTk1DcdStatus | raw.m_dwTk2DcdStatus | raw.m_dwTk3DcdStatus) & 1) != 0
            ? ZEDRA_CARDREAD_ERROR
            : ZEDRA_CARDREAD_OK;
    return true;
}

unsigned long Strivo::decode_ulong(int id, void* data, int len) {
    iConnection* conn = getConnection();
    unsigned long value = 0;
    if (conn == nullptr || !conn->getULong(id, &value, data, len)) {
        return 0;
    }
    return value;
}

void Strivo::decode_bytes(int id, void* buffer, void* data, int len) {
    // The fields this fills are 256 bytes wide; more is never copied.
    decodeBytesInto(getConnection(), id, static_cast<char*>(buffer), 256, data, len);
}

CardText Strivo::GetCardDataStr(const char* lpStrFieldDelimiter) {
    CardText out;
    GetCardDataStr(lpStrFieldDelimiter, out);
    return out;
}

void Strivo::GetCardDataStr(const char* lpStrFieldDelimiter, CardText& out) {
    const std::string delimiter = lpStrFieldDelimiter != nullptr ? lpStrFieldDelimiter : "";
    // Formatted from the record under its lock, as getCardData would copy
    // it, without the copy.
    MutexLock guard(cardLock);
    CardDataString::formatInto(cardData, delimiter, out);
}

}  // namespace quorin
