// Card-data report decoding, the card records and the card data string of the
// reader object, driven by reports built like a reader sends them.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "CardReport.h"
#include "ReportLayoutOf.h"
#include "TestWait.h"
#include "reader/CRConfigTable.h"
#include "reader/Strivo.h"

using quorin::CRConfigTable;
using quorin::Strivo;
using quorin::ZEDRADATA;
using quorin_sim::CardReport;
using quorin_test::layoutOf;

namespace {

const char* const ISO_TRACK1 = "%B4111111111111111^DOE/ALEX^2512101?";
const char* const AAMVA_TRACK1 = "%CASAN JOSE^DOE$ALEX$Q^123 MAIN ST^?";

using Bytes = std::vector<unsigned char>;

std::string hex(const std::string& bytes, bool lower = false) {
    static const char* upperDigits = "0123456789ABCDEF";
    static const char* lowerDigits = "0123456789abcdef";
    const char* digits = lower ? lowerDigits : upperDigits;
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

std::string hex(const Bytes& bytes, bool lower = false) {
    return hex(std::string(bytes.begin(), bytes.end()), lower);
}

std::vector<std::string> split(const std::string& text, const std::string& delimiter) {
    std::vector<std::string> out;
    size_t from = 0;
    for (;;) {
        size_t at = text.find(delimiter, from);
        out.push_back(text.substr(from, at == std::string::npos ? std::string::npos : at - from));
        if (at == std::string::npos) {
            return out;
        }
        from = at + delimiter.size();
    }
}

CRConfigTable row(long pid) {
    const CRConfigTable* found = quorin::findConfigRow(pid);
    EXPECT_NE(found, nullptr) << "no device-table row " << pid;
    return found != nullptr ? *found : CRConfigTable{};
}

// A model without any capability ("Standard Swipe") and one with all of them.
CRConfigTable plainRow() {
    return row(0x2);
}
CRConfigTable fullRow() {
    return row(0x11);
}

CRConfigTable encryptingRow() {
    CRConfigTable caps = plainRow();
    caps.dwEncryptionCapable = 1;
    return caps;
}

// Records what the reader reports; optionally reads the card back from
// inside the call, as the session's delegates do.
class RecordingDelegate : public quorin::Strivo_Delegate {
public:
    void OnError(Strivo*, int, char*) override {}
    void OnDeviceChange(Strivo*, EDeviceStateValues) override {}
    void OnCardUpdate(Strivo* msc, ECardDataStateValues status) override {
        updates.push_back(status);
        if (readBack) {
            cardString = msc->GetCardDataStr("|");
        }
        if (throwOn == static_cast<int>(status) || throwOn == -2) {
            throw std::runtime_error("delegate failure");
        }
    }
    void OnNotification(Strivo*, unsigned short, const unsigned char*, int) override {}

    std::vector<ECardDataStateValues> updates;
    bool readBack = false;
    int throwOn = -1;  // status that makes the call throw; -2 for every call
    std::string cardString;
};

// A reader without a connection, set up with one device-table row.
class TestReader : public Strivo {
public:
    explicit TestReader(const CRConfigTable& caps, long pid = 0) {
        configTable = caps;
        rawData.m_dwDevicePID = pid;
        setDelegate(&delegate);
    }
    ~TestReader() override { setDelegate(nullptr); }

    void swipe(const Bytes& report) {
        getMSRResult(report.data(), static_cast<int>(report.size()));
    }
    // The raw record as the decoding left it (it is wiped right after).
    void copyToMsr() override {
        Strivo::copyToMsr();
        m_raw = rawData;
    }
    ZEDRADATA raw() {
        quorin::MutexLock guard(cardLock);
        return m_raw;
    }
    ZEDRADATA liveRaw() {
        quorin::MutexLock guard(cardLock);
        return rawData;
    }

    RecordingDelegate delegate;
    ZEDRADATA m_raw{};
};

}  // namespace

TEST(CardDataDecoding, ShortReportOfAPlainModel) {
    TestReader reader(plainRow());
    Bytes report = CardReport(layoutOf(plainRow())).track(1, ISO_TRACK1).shortReport();
    reader.swipe(report);

    EXPECT_EQ(reader.delegate.updates, std::vector<ECardDataStateValues>{ZEDRA_DATA_READY});
    EXPECT_EQ(reader.getMsrRawData(), hex(report, true));
    ZDMSRDATA card = reader.getCardData();
    EXPECT_STREQ(card.m_szTrack1Data, ISO_TRACK1);
    EXPECT_STREQ(card.m_szCardData, ISO_TRACK1);
    EXPECT_STREQ(card.m_szTrack1DataMasked, ISO_TRACK1);
    EXPECT_STREQ(card.m_szCardDataMasked, ISO_TRACK1);
    EXPECT_STREQ(card.m_szTrack2Data, "");
    EXPECT_EQ(card.m_dwTrack1Length, 36);
    EXPECT_EQ(card.m_dwTrack1LengthMasked, 36);
    EXPECT_EQ(card.m_dwTrack2Length, 0);
    EXPECT_STREQ(card.m_szLastName, "DOE");
    EXPECT_STREQ(card.m_szFirstName, "ALEX");
    // No track 2: account number and expiry come from the track parser.
    EXPECT_STREQ(card.m_szPAN, "4111111111111111");
    EXPECT_STREQ(card.m_szYear, "25");
    EXPECT_STREQ(card.m_szMonth, "12");
    EXPECT_STREQ(reader.raw().m_szExpDate, "2512");
    EXPECT_STREQ(card.m_szCardEncodeType, "ISO");
    EXPECT_STREQ(card.m_szDUKPTSessionID, "0000000000000000");
    EXPECT_STREQ(card.m_szDUKPTKSN, "00000000000000000000");
    EXPECT_STREQ(card.m_szFluxmarkStatus, "");
    EXPECT_STREQ(card.m_szDeviceSerialNumber, "");
    EXPECT_EQ(card.m_dwBatteryLevel, 0);
    EXPECT_EQ(card.m_dwEncryptionStatus, 0);
    EXPECT_EQ(card.m_dwCardSwipeStatus, ZEDRA_CARDREAD_OK);
}

TEST(CardDataDecoding, EncryptingModelReadsTracksAt120And232AsHex) {
    const std::string c1("\x01\xAB\x00\xFF\x10", 5), c2("\x22\x00\x9C", 3), c3("\x7F\x80", 2);
    TestReader reader(encryptingRow());
    reader.swipe(
        CardReport(layoutOf(encryptingRow())).track(1, c1).track(2, c2).track(3, c3).shortReport());

    ZDMSRDATA card = reader.getCardData();
    EXPECT_STREQ(card.m_szTrack1Data, "01AB00FF10");
    EXPECT_STREQ(card.m_szTrack2Data, "22009C");
    EXPECT_STREQ(card.m_szTrack3Data, "7F80");
    EXPECT_STREQ(card.m_szCardData, "01AB00FF1022009C7F80");
    EXPECT_EQ(card.m_dwTrack2Length, 3);
    EXPECT_EQ(card.m_dwTrack3Length, 2);

    // The plain layout of the same model family reads tracks at 118 and 228.
    Bytes plain(338, 0);
    plain[5] = 2;
    plain[118] = 0x41;
    plain[119] = 0x42;
    TestReader plainReader(plainRow());
    plainReader.swipe(plain);
    EXPECT_STREQ(plainReader.getCardData().m_szTrack2Data, "AB");
}

TEST(CardDataDecoding, ExtendedReportFillsEveryField) {
    const std::string c1("\x10\x20\x30", 3), c2("\xAA\xBB", 2);
    const Bytes flux = {0xDE, 0xAD, 0xBE, 0xEF, 0x00, 0x01};
    const Bytes ksn = {0xFF, 0xFF, 0x98, 0x76, 0x54, 0x32, 0x10, 0xE0, 0x00, 0x05};
    const Bytes session = {1, 2, 3, 4, 5, 6, 7, 0x8F};
    const std::string masked1 = "%B4111********1111^DOE/ALEX^2512?";
    const std::string masked2 = ";4111********1111=2512?";
    TestReader reader(fullRow(), 0x11);
    reader.swipe(CardReport(layoutOf(fullRow()))
                     .track(1, c1)
                     .track(2, c2)
                     .decodeStatus(0, 2, 0)
                     .encodeType(0)
                     .maskedTrack(1, masked1)
                     .maskedTrack(2, masked2)
                     .fluxmark(0x04030201, flux)
                     .serialNumber("B0123456789ABCDE")
                     .encryptionStatus(0x0102)
                     .ksn(ksn)
                     .sessionId(session)
                     .batteryLevel(77)
                     .extendedReport());

    ZDMSRDATA card = reader.getCardData();
    EXPECT_EQ(card.m_dwReaderID, 0x11);
    EXPECT_STREQ(card.m_szTrack1Data, "102030");
    EXPECT_STREQ(card.m_szTrack2Data, "AABB");
    EXPECT_STREQ(card.m_szTrack3Data, "");
    EXPECT_STREQ(card.m_szCardData, "102030AABB");
    EXPECT_STREQ(card.m_szTrack1DataMasked, masked1.c_str());
    EXPECT_STREQ(card.m_szTrack2DataMasked, masked2.c_str());
    EXPECT_STREQ(card.m_szCardDataMasked, (masked1 + masked2).c_str());
    EXPECT_EQ(card.m_dwTrack1LengthMasked, static_cast<long>(masked1.size()));
    EXPECT_EQ(card.m_dwTrack2LengthMasked, static_cast<long>(masked2.size()));
    EXPECT_EQ(card.m_dwTrack3LengthMasked, 0);
    EXPECT_STREQ(card.m_szFluxmarkStatus, "01020304");
    EXPECT_EQ(card.m_dwFluxmarkStatus, 0x04030201);
    EXPECT_STREQ(card.m_szFluxmarkData, "DEADBEEF0001");
    EXPECT_EQ(card.m_dwFluxmarkLength, 6);
    EXPECT_STREQ(card.m_szDeviceSerialNumber, "B0123456789ABCDE");
    EXPECT_EQ(card.m_dwEncryptionStatus, 0x0102);
    EXPECT_STREQ(card.m_szDUKPTKSN, "FFFF9876543210E00005");
    EXPECT_STREQ(card.m_szDUKPTSessionID, "010203040506078F");
    EXPECT_EQ(card.m_dwBatteryLevel, 77);
    EXPECT_STREQ(card.m_szCardEncodeType, "ISO");
    EXPECT_EQ(card.m_dwTrack2DcdStatus, 2);
    EXPECT_EQ(card.m_dwCardSwipeStatus, ZEDRA_CARDREAD_OK);
    // A Fluxmark model takes names, account number and expiry from the
    // masked tracks, since its clear tracks are ciphertext.
    EXPECT_STREQ(card.m_szLastName, "DOE");
    EXPECT_STREQ(card.m_szFirstName, "ALEX");
    EXPECT_STREQ(card.m_szPAN, "4111********1111");
    EXPECT_STREQ(card.m_szYear, "25");
    EXPECT_STREQ(card.m_szMonth, "12");

    std::vector<std::string> fields = split(std::string(reader.GetCardDataStr("|").view()), "|");
    ASSERT_EQ(fields.size(), 32u);
    EXPECT_EQ(fields[21], "4111********1111");
    EXPECT_EQ(fields[28], masked2);
}

TEST(CardDataDecoding, BatteryLevelComesFromReportsOf932Bytes) {
    TestReader reader(fullRow());
    CardReport swipe(layoutOf(fullRow()));
    swipe.track(1, "ABC").batteryLevel(42);
    reader.swipe(swipe.extendedReport(932));
    EXPECT_EQ(reader.getCardData().m_dwBatteryLevel, 42);
    reader.swipe(swipe.extendedReport(931));
    EXPECT_EQ(reader.getCardData().m_dwBatteryLevel, 100);
    reader.swipe(swipe.shortReport());
    EXPECT_EQ(reader.getCardData().m_dwBatteryLevel, 0);
}

TEST(CardDataDecoding, FieldsOfAMissingCapabilityStayEmpty) {
    CardReport swipe(layoutOf(fullRow()));
    swipe.track(1, "T")
        .maskedTrack(1, "%M^N/F^2512?")
        .fluxmark(0x11223344, {0x55})
        .serialNumber("SERIAL0000000001")
        .ksn({9, 9, 9, 9, 9, 9, 9, 9, 9, 9})
        .sessionId({7, 7, 7, 7, 7, 7, 7, 7});
    const Bytes report = swipe.extendedReport();

    struct Case {
        long CRConfigTable::*flag;
        const char* name;
    };
    for (Case c : {Case{&CRConfigTable::dwMaskingCapable, "masking"},
                   Case{&CRConfigTable::dwFluxmarkCapable, "fluxmark"},
                   Case{&CRConfigTable::dwDeviceSerialNumberCapable, "serial number"},
                   Case{&CRConfigTable::dwDUKPTKSNCapable, "key serial number"},
                   Case{&CRConfigTable::dwSessionIDCapable, "session id"}}) {
        SCOPED_TRACE(c.name);
        CRConfigTable caps = fullRow();
        caps.*c.flag = 0;
        TestReader reader(caps);
        reader.swipe(report);
        ZDMSRDATA card = reader.getCardData();
        bool masking = caps.dwMaskingCapable == 1, flux = caps.dwFluxmarkCapable == 1;
        EXPECT_STREQ(card.m_szTrack1DataMasked, masking ? "%M^N/F^2512?" : "");
        EXPECT_EQ(card.m_dwTrack1LengthMasked, masking ? 12 : 0);
        EXPECT_STREQ(card.m_szFluxmarkStatus, flux ? "44332211" : "");
        EXPECT_STREQ(card.m_szFluxmarkData, flux ? "55" : "");
        EXPECT_EQ(card.m_dwFluxmarkLength, flux ? 1 : 0);
        EXPECT_STREQ(card.m_szDeviceSerialNumber,
                     caps.dwDeviceSerialNumberCapable == 1 ? "SERIAL0000000001" : "");
        EXPECT_STREQ(card.m_szDUKPTKSN,
                     caps.dwDUKPTKSNCapable == 1 ? "09090909090909090909" : "00000000000000000000");
        EXPECT_STREQ(card.m_szDUKPTSessionID,
                     caps.dwSessionIDCapable == 1 ? "0707070707070707" : "0000000000000000");
        // Names follow the masked track only on Fluxmark models.
        EXPECT_STREQ(card.m_szLastName, flux && masking ? "N" : "");
    }
}

TEST(CardDataDecoding, EncodeTypeNamesAndTheAamvaNameRule) {
    const char* names[] = {"ISO", "AAMVA", "CADL", "BLANK", "OTHER", "UNDETERMINED", "NONE"};
    TestReader reader(plainRow());
    for (int type = 0; type < 7; ++type) {
        reader.swipe(CardReport(layoutOf(plainRow())).encodeType(type).shortReport());
        EXPECT_STREQ(reader.getCardData().m_szCardEncodeType, names[type]);
        EXPECT_EQ(reader.getCardData().m_dwCardEncodeType, type);
    }
    for (int type : {7, 255}) {
        reader.swipe(CardReport(layoutOf(plainRow())).encodeType(type).shortReport());
        EXPECT_STREQ(reader.getCardData().m_szCardEncodeType, "");
    }

    reader.swipe(
        CardReport(layoutOf(plainRow())).track(1, AAMVA_TRACK1).encodeType(1).shortReport());
    EXPECT_STREQ(reader.getCardData().m_szLastName, "DOE");
    EXPECT_STREQ(reader.getCardData().m_szFirstName, "ALEX");
    // The same track read by the ISO rule holds no '/': no names.
    reader.swipe(
        CardReport(layoutOf(plainRow())).track(1, AAMVA_TRACK1).encodeType(0).shortReport());
    EXPECT_STREQ(reader.getCardData().m_szLastName, "");
    EXPECT_STREQ(reader.getCardData().m_szFirstName, "");
    // A 13-character city without '^': the name starts at index 16.
    reader.swipe(CardReport(layoutOf(plainRow()))
                     .track(1, "%CASANTA BARBARADOE$ALEX^1 MAIN^?")
                     .encodeType(1)
                     .shortReport());
    EXPECT_STREQ(reader.getCardData().m_szLastName, "DOE");
    EXPECT_STREQ(reader.getCardData().m_szFirstName, "ALEX");
    // Without '$' the whole name is the first name.
    reader.swipe(CardReport(layoutOf(plainRow()))
                     .track(1, "%CAX^PRINCE^1 MAIN^?")
                     .encodeType(1)
                     .shortReport());
    EXPECT_STREQ(reader.getCardData().m_szLastName, "");
    EXPECT_STREQ(reader.getCardData().m_szFirstName, "PRINCE");
}

TEST(CardDataDecoding, SwipeStatusFollowsBit0OfTheDecodeStatuses) {
    struct Case {
        int s1, s2, s3;
        long swipe;
    };
    TestReader reader(plainRow());
    for (Case c : {Case{0, 2, 0, 0}, Case{0, 0, 3, 1}, Case{1, 0, 0, 1}, Case{2, 4, 0xFE, 0},
                   Case{0, 0xFF, 0, 1}}) {
        reader.swipe(CardReport(layoutOf(plainRow())).decodeStatus(c.s1, c.s2, c.s3).shortReport());
        ZDMSRDATA card = reader.getCardData();
        EXPECT_EQ(card.m_dwCardSwipeStatus, c.swipe) << c.s1 << " " << c.s2 << " " << c.s3;
        EXPECT_EQ(card.m_dwTrack1DcdStatus, c.s1);
        EXPECT_EQ(card.m_dwTrack2DcdStatus, c.s2);
        EXPECT_EQ(card.m_dwTrack3DcdStatus, c.s3);
    }
}

TEST(CardDataDecoding, IsoNameRule) {
    struct Case {
        const char* track1;
        const char* last;
        const char* first;
    };
    TestReader reader(plainRow());
    for (Case c : {Case{"%B4111111111111111^DOE /ALEX  ^2512?", "DOE ", "ALEX"},
                   Case{"%B4111111111111111^  DOE/ALEX B^2512?", "DOE", "ALEX B"},
                   Case{"%B4111111111111111^ALEX DOE^2512?", "", ""},
                   Case{"%B4111111111111111^DOE/ALEX", "", ""},
                   // Both names empty, or blank.
                   Case{"%B4111111111111111^/^2512?", "", ""},
                   Case{"%B4111111111111111^  /  ^2512?", "", ""}}) {
        reader.swipe(CardReport(layoutOf(plainRow())).track(1, c.track1).shortReport());
        EXPECT_STREQ(reader.getCardData().m_szLastName, c.last) << c.track1;
        EXPECT_STREQ(reader.getCardData().m_szFirstName, c.first) << c.track1;
    }
}

TEST(CardDataDecoding, AccountNumberAndExpiryFromTrack2BeforeTheParser) {
    TestReader reader(plainRow());
    reader.swipe(CardReport(layoutOf(plainRow()))
                     .track(2, ";4111111111111111=25121010000000000000?")
                     .shortReport());
    EXPECT_STREQ(reader.getCardData().m_szPAN, "4111111111111111");
    EXPECT_STREQ(reader.getCardData().m_szYear, "25");
    EXPECT_STREQ(reader.getCardData().m_szMonth, "12");
    EXPECT_STREQ(reader.raw().m_szExpDate, "2512");

    // Track 2 wins over a track 1 that names another account.
    reader.swipe(CardReport(layoutOf(plainRow()))
                     .track(1, "%B4999999999999999^DOE/ALEX^2712101?")
                     .track(2, ";4111111111111111=2512?")
                     .shortReport());
    EXPECT_STREQ(reader.getCardData().m_szPAN, "4111111111111111");
    EXPECT_STREQ(reader.raw().m_szExpDate, "2512");

    // A short expiry after '=' is taken as far as it goes.
    reader.swipe(CardReport(layoutOf(plainRow())).track(2, ";4111=251").shortReport());
    EXPECT_STREQ(reader.getCardData().m_szPAN, "4111");
    EXPECT_STREQ(reader.getCardData().m_szYear, "25");
    EXPECT_STREQ(reader.getCardData().m_szMonth, "1");
    // Nothing before '=', and nothing after the year.
    reader.swipe(CardReport(layoutOf(plainRow())).track(2, ";=25").shortReport());
    EXPECT_STREQ(reader.getCardData().m_szPAN, "");
    EXPECT_STREQ(reader.getCardData().m_szYear, "25");
    EXPECT_STREQ(reader.getCardData().m_szMonth, "");

    // No separator on either track: nothing is derived.
    reader.swipe(
        CardReport(layoutOf(plainRow())).track(1, "NOTHING").track(2, "4111").shortReport());
    EXPECT_STREQ(reader.getCardData().m_szPAN, "");
    EXPECT_STREQ(reader.getCardData().m_szYear, "");
}

// Track 2 and the parser of track 1 share the work: what one leaves out the
// other fills, whichever of the two values is missing.
TEST(CardDataDecoding, TheParserFillsWhatTrack2LeavesOut) {
    TestReader reader(fullRow());
    reader.swipe(CardReport(layoutOf(fullRow()))
                     .maskedTrack(1, "%B4111********1111^DOE/ALEX^2512?")
                     .maskedTrack(2, ";5500********0004=")
                     .extendedReport());
    EXPECT_STREQ(reader.getCardData().m_szPAN, "5500********0004");
    EXPECT_STREQ(reader.raw().m_szExpDate, "2512");
    EXPECT_STREQ(reader.getCardData().m_szYear, "25");
    EXPECT_STREQ(reader.getCardData().m_szMonth, "12");

    reader.swipe(CardReport(layoutOf(fullRow()))
                     .maskedTrack(1, "%B4111********1111^DOE/ALEX^2512?")
                     .maskedTrack(2, ";=2701?")
                     .extendedReport());
    EXPECT_STREQ(reader.getCardData().m_szPAN, "4111********1111");
    EXPECT_STREQ(reader.raw().m_szExpDate, "2701");
}

TEST(CardDataDecoding, LengthsAreClampedToTheirFieldAndToTheReport) {
    // A track length past its field does not run into the next track.
    TestReader plain(plainRow());
    plain.swipe(CardReport(layoutOf(plainRow()))
                    .track(1, std::string(110, 'A'))
                    .trackLength(1, 255)
                    .track(2, "BBBB")
                    .shortReport());
    ZDMSRDATA card = plain.getCardData();
    EXPECT_EQ(card.m_dwTrack1Length, 110);
    EXPECT_EQ(std::string(card.m_szTrack1Data), std::string(110, 'A'));
    EXPECT_STREQ(card.m_szTrack2Data, "BBBB");

    // Encrypting model: 112-byte fields.
    TestReader encrypting(encryptingRow());
    encrypting.swipe(CardReport(layoutOf(encryptingRow()))
                         .track(1, std::string(112, '\x5A'))
                         .trackLength(1, 200)
                         .track(3, std::string(100, '\x01'))
                         .shortReport());
    card = encrypting.getCardData();
    EXPECT_EQ(card.m_dwTrack1Length, 112);
    EXPECT_EQ(std::string(card.m_szTrack1Data), hex(std::string(112, '\x5A')));
    EXPECT_EQ(card.m_dwTrack3Length, 100);
    EXPECT_EQ(std::string(card.m_szTrack3Data), hex(std::string(100, '\x01')));

    // Masked lengths stop at 112; Fluxmark lengths at 128.
    TestReader full(fullRow());
    full.swipe(CardReport(layoutOf(fullRow()))
                   .maskedTrack(1, std::string(112, 'M'))
                   .maskedLength(1, 255)
                   .maskedTrack(2, "NN")
                   .fluxmark(0, Bytes(128, 0xAB))
                   .fluxmarkLength(200)
                   .extendedReport());
    card = full.getCardData();
    EXPECT_EQ(card.m_dwTrack1LengthMasked, 112);
    EXPECT_EQ(std::string(card.m_szTrack1DataMasked), std::string(112, 'M'));
    EXPECT_STREQ(card.m_szTrack2DataMasked, "NN");
    EXPECT_EQ(card.m_dwFluxmarkLength, 128);
    // 128 bytes of hex would fill the whole field: the text keeps 127 bytes.
    EXPECT_EQ(std::string(card.m_szFluxmarkData), hex(Bytes(127, 0xAB)));
}

TEST(CardDataDecoding, AReportCutShortOfAFieldItAnnouncesIsRefused) {
    // A track, the Fluxmark data, a masked track of a 338-byte report, or the
    // header itself ending before the report does: no card, but an error
    // (before, the cut field was handed on as the card's).
    const Bytes cutReports[] = {
        CardReport(layoutOf(plainRow())).track(1, ISO_TRACK1).shortReport(20),
        CardReport(layoutOf(fullRow())).fluxmark(0, Bytes(100, 0x11)).extendedReport(360),
        CardReport(layoutOf(encryptingRow())).track(3, std::string(112, '\x01')).shortReport(),
        Bytes{0x01, 0x00, 0x00},
    };
    const CRConfigTable rows[] = {plainRow(), fullRow(), encryptingRow(), plainRow()};
    for (size_t i = 0; i < 4; ++i) {
        TestReader reader(rows[i]);
        reader.swipe(cutReports[i]);
        EXPECT_EQ(reader.delegate.updates, std::vector<ECardDataStateValues>{ZEDRA_DATA_ERROR})
            << i;
        EXPECT_STREQ(reader.getCardData().m_szTrack1Data, "") << i;
        EXPECT_EQ(reader.getCardData().m_dwFluxmarkLength, 0) << i;
    }
}

TEST(CardDataDecoding, EmptyReportsDecodeToAnEmptyRecord) {
    TestReader reader(fullRow(), 0x13);
    reader.swipe(CardReport(layoutOf(fullRow())).track(1, ISO_TRACK1).shortReport());
    reader.getMSRResult(nullptr, 0);
    reader.getMSRResult(nullptr, 500);
    unsigned char one = 0x55;
    reader.getMSRResult(&one, -4);
    // A report without even its header is no card.
    EXPECT_EQ(reader.delegate.updates,
              (std::vector<ECardDataStateValues>{ZEDRA_DATA_READY, ZEDRA_DATA_ERROR,
                                                 ZEDRA_DATA_ERROR, ZEDRA_DATA_ERROR}));
    ZDMSRDATA card = reader.getCardData();
    EXPECT_STREQ(card.m_szTrack1Data, "");
    EXPECT_STREQ(card.m_szPAN, "");
    EXPECT_EQ(card.m_dwTrack1Length, 0);
    EXPECT_EQ(card.m_dwReaderID, 0);  // wholly empty, as a clear leaves it
    EXPECT_EQ(reader.getMsrRawData(), "");
}

TEST(CardDataDecoding, DelegateMayReadTheNewRecordDuringTheUpdate) {
    TestReader reader(plainRow(), 0x2);
    reader.delegate.readBack = true;
    reader.swipe(CardReport(layoutOf(plainRow())).track(1, ISO_TRACK1).shortReport());
    ASSERT_EQ(reader.delegate.updates.size(), 1u);
    std::vector<std::string> fields = split(reader.delegate.cardString, "|");
    ASSERT_EQ(fields.size(), 32u);
    EXPECT_EQ(fields[24], ISO_TRACK1);
}

TEST(CardDataDecoding, FailingDelegateCallIsReportedAsAnError) {
    TestReader reader(plainRow());
    reader.delegate.throwOn = ZEDRA_DATA_READY;
    reader.swipe(CardReport(layoutOf(plainRow())).track(1, ISO_TRACK1).shortReport());
    EXPECT_EQ(reader.delegate.updates,
              (std::vector<ECardDataStateValues>{ZEDRA_DATA_READY, ZEDRA_DATA_ERROR}));

    // A delegate that fails every call does not take the decoder down.
    reader.delegate.updates.clear();
    reader.delegate.throwOn = -2;
    EXPECT_NO_THROW(
        reader.swipe(CardReport(layoutOf(plainRow())).track(1, ISO_TRACK1).shortReport()));
    EXPECT_EQ(reader.delegate.updates.size(), 2u);
    EXPECT_STREQ(reader.getCardData().m_szTrack1Data, ISO_TRACK1);
}

TEST(CardDataDecoding, CopiesTakenDuringRewritesAreNeverMixed) {
    TestReader reader(plainRow());
    const Bytes a = CardReport(layoutOf(plainRow())).track(1, "%B4111^AAA/ONE^2512?").shortReport();
    const Bytes b = CardReport(layoutOf(plainRow()))
                        .track(1, "%B5222222222^BBBBBB/TWO^2701?")
                        .track(2, ";5222222222=2701?")
                        .shortReport();
    reader.swipe(a);

    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (int i = 0; i < 2000; ++i) {
            reader.swipe(i % 2 == 0 ? b : a);
        }
        done = true;
    });
    int mixed = 0, copies = 0;
    while (!done || copies == 0) {
        ZDMSRDATA card = reader.getCardData();
        ++copies;
        bool isA = std::strcmp(card.m_szLastName, "AAA") == 0 && card.m_dwTrack1Length == 20 &&
                   std::strcmp(card.m_szPAN, "4111") == 0 && card.m_dwTrack2Length == 0;
        bool isB = std::strcmp(card.m_szLastName, "BBBBBB") == 0 && card.m_dwTrack1Length == 29 &&
                   std::strcmp(card.m_szPAN, "5222222222") == 0 && card.m_dwTrack2Length == 17;
        if (!isA && !isB) {
            ++mixed;
        }
    }
    writer.join();
    EXPECT_EQ(mixed, 0) << "of " << copies << " copies";
}

// What opening a reader does while its receiving thread decodes a swipe: the
// record is cleared, then the delegate attached. The swipe decoded before the
// clear must not reach the new delegate as data ready with an empty record.
TEST(CardDataDecoding, ARecordClearedBeforeItIsReportedIsNotReported) {
    class HeldReader : public TestReader {
    public:
        using TestReader::TestReader;
        quorin::RecursiveMutex& delegateMutex() { return delegateLock; }
    };
    HeldReader reader(plainRow());
    reader.setDelegate(nullptr);
    std::unique_lock<quorin::RecursiveMutex> held(reader.delegateMutex());
    std::thread receiving(
        [&] { reader.swipe(CardReport(layoutOf(plainRow())).track(1, ISO_TRACK1).shortReport()); });
    // Decoded; its report to the delegate now waits for the lock.
    ASSERT_TRUE(quorin_test::waitUntil(
        [&] { return std::strcmp(reader.getCardData().m_szTrack1Data, ISO_TRACK1) == 0; }));
    reader.clear();
    reader.setDelegate(&reader.delegate);
    held.unlock();
    receiving.join();
    EXPECT_TRUE(reader.delegate.updates.empty());

    // The next swipe is reported as usual.
    reader.swipe(CardReport(layoutOf(plainRow())).track(1, ISO_TRACK1).shortReport());
    EXPECT_EQ(reader.delegate.updates, std::vector<ECardDataStateValues>{ZEDRA_DATA_READY});
}

TEST(CardDataDecoding, DecoderThroughTheConnectionYieldsNothingWithoutOne) {
    TestReader reader(fullRow());
    reader.swipe(CardReport(layoutOf(fullRow())).track(1, "X").decodeStatus(1, 1, 1).shortReport());
    const Bytes report = CardReport(layoutOf(fullRow())).track(1, "Y").shortReport();
    EXPECT_TRUE(reader.decodeInputReport(report.data(), static_cast<int>(report.size())));
    ZEDRADATA raw = reader.liveRaw();
    EXPECT_EQ(raw.m_dwTk1DcdStatus, 0);
    EXPECT_EQ(raw.m_dwTk1Length, 0);
    EXPECT_EQ(raw.m_dwCardSwipeStatus, ZEDRA_CARDREAD_OK);
    EXPECT_STREQ(raw.m_szTk1DataRaw, "");
    EXPECT_EQ(reader.decode_ulong(32, nullptr, 0), 0u);
    char buffer[4] = {'k', 'e', 'e', 'p'};
    reader.decode_bytes(48, buffer, nullptr, 0);
    EXPECT_EQ(std::string(buffer, 4), "keep");
    // The host's record is not touched.
    EXPECT_STREQ(reader.getCardData().m_szTrack1Data, "58");
}

TEST(CardDataString, ZeroedRecord) {
    TestReader reader(plainRow());
    EXPECT_EQ(reader.GetCardDataStr("|"),
              "0000000000000000||0|0|0|0|0||0|0|0|0|0|0|0|||||||||||||||||0");
    std::string colons(reader.GetCardDataStr("::").view());
    EXPECT_EQ(split(colons, "::").size(), 32u);
    EXPECT_EQ(colons.substr(0, 18), "0000000000000000::");
}

TEST(CardDataString, FieldOrder) {
    TestReader reader(fullRow(), 17);
    reader.swipe(CardReport(layoutOf(fullRow()))
                     .track(1, std::string("\x01", 1))
                     .track(2, std::string("\x02\x03", 2))
                     .track(3, std::string("\x04\x05\x06", 3))
                     .decodeStatus(1, 2, 4)
                     .encodeType(3)
                     .maskedTrack(1, "%B4111********1111^DOE/ALEX^2512?")
                     .maskedTrack(2, ";4111********1111=2512?")
                     .maskedTrack(3, ";M3?")
                     .fluxmark(0xA0B0C0D0, {0x12, 0x34})
                     .serialNumber("SN00000000000042")
                     .ksn({0, 1, 2, 3, 4, 5, 6, 7, 8, 9})
                     .sessionId({9, 8, 7, 6, 5, 4, 3, 2})
                     .batteryLevel(64)
                     .extendedReport());
    const std::vector<std::string> expected = {
        "0000000000000011",
        "SN00000000000042",
        "1",
        "3",
        "1",
        "2",
        "4",
        "D0C0B0A0",
        "1",
        "2",
        "3",
        "33",
        "23",
        "4",
        "2",
        "010203040506",
        "%B4111********1111^DOE/ALEX^2512?;4111********1111=2512?;M3?",
        "0908070605040302",
        "00010203040506070809",
        "ALEX",
        "DOE",
        "4111********1111",
        "12",
        "25",
        "01",
        "0203",
        "040506",
        "%B4111********1111^DOE/ALEX^2512?",
        ";4111********1111=2512?",
        ";M3?",
        "1234",
        "64",
    };
    std::string text(reader.GetCardDataStr("|").view());
    EXPECT_EQ(split(text, "|"), expected);
    EXPECT_EQ(std::count(text.begin(), text.end(), '|'), 31);
}
