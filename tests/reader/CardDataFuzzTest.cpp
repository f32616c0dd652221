// Seeded random and truncated card-data reports for every device-table row,
// and random track texts for the track parser. Each input sits in a buffer of
// exactly its size, so an address-sanitizer build reports any read past it;
// the checks below catch texts that lose their terminator and lengths that
// exceed their field or the bytes received.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "CardReport.h"
#include "ReportLayoutOf.h"
#include "reader/CRConfigTable.h"
#include "reader/MsrDataParser.h"
#include "reader/Strivo.h"

using quorin::CRConfigTable;
using quorin::Strivo;
using quorin::ZEDRADATA;
using quorin_sim::CardReport;
using quorin_test::layoutOf;

namespace {

class CountingDelegate : public quorin::Strivo_Delegate {
public:
    void OnError(Strivo*, int, char*) override {}
    void OnDeviceChange(Strivo*, EDeviceStateValues) override {}
    void OnCardUpdate(Strivo*, ECardDataStateValues status) override {
        (status == ZEDRA_DATA_READY ? ready : errors)++;
    }
    void OnNotification(Strivo*, unsigned short, const unsigned char*, int) override {}
    int ready = 0;
    int errors = 0;
};

class FuzzReader : public Strivo {
public:
    explicit FuzzReader(const CRConfigTable& caps) {
        configTable = caps;
        rawData.m_dwDevicePID = caps.dwPID;
        setDelegate(&delegate);
    }
    ~FuzzReader() override { setDelegate(nullptr); }
    // The raw record as the decoding left it (it is wiped right after).
    void copyToMsr() override {
        Strivo::copyToMsr();
        m_raw = rawData;
    }
    ZEDRADATA raw() {
        quorin::MutexLock guard(cardLock);
        return m_raw;
    }
    CountingDelegate delegate;
    ZEDRADATA m_raw{};
};

template <size_t N>
bool terminated(const char (&text)[N]) {
    return std::memchr(text, '\0', N) != nullptr;
}

// Bytes of the field at offset that a report of `received` bytes holds.
long available(long received, long offset, long field) {
    return std::max(0L, std::min(field, received - offset));
}

// Decodes one report held in a buffer of exactly its size and checks the
// records; a failed check ends the caller through ASSERT_NO_FATAL_FAILURE.
void decodeAndCheck(FuzzReader& reader, const std::vector<unsigned char>& bytes) {
    const int size = static_cast<int>(bytes.size());
    std::unique_ptr<unsigned char[]> exact(new unsigned char[bytes.size() + (size == 0)]);
    if (size > 0) {
        std::memcpy(exact.get(), bytes.data(), bytes.size());
    }
    const int errors = reader.delegate.errors;
    reader.getMSRResult(exact.get(), size);

    ZDMSRDATA card = reader.getCardData();
    if (reader.delegate.errors != errors) {
        // Cut short of a field it announces: refused whole, nothing kept.
        ASSERT_TRUE(card.m_szCardData[0] == '\0' && card.m_szTrack1Data[0] == '\0' &&
                    card.m_dwTrack1Length == 0 && card.m_szPAN[0] == '\0')
            << "size " << size;
        return;
    }
    ZEDRADATA raw = reader.raw();
    const CRConfigTable& caps = reader.configTable;
    const bool encrypted = caps.dwEncryptionCapable == 1;
    const long field = encrypted ? 112 : 110;
    const long offsets[3] = {8, encrypted ? 120 : 118, encrypted ? 232 : 228};
    const long lengths[3] = {card.m_dwTrack1Length, card.m_dwTrack2Length, card.m_dwTrack3Length};
    const char* tracks[3] = {card.m_szTrack1Data, card.m_szTrack2Data, card.m_szTrack3Data};

    ASSERT_TRUE(terminated(card.m_szCardData) && terminated(card.m_szCardDataMasked) &&
                terminated(card.m_szTrack1Data) && terminated(card.m_szTrack2Data) &&
                terminated(card.m_szTrack3Data) && terminated(card.m_szTrack1DataMasked) &&
                terminated(card.m_szTrack2DataMasked) && terminated(card.m_szTrack3DataMasked) &&
                terminated(card.m_szFluxmarkData) && terminated(card.m_szCardEncodeType) &&
                terminated(card.m_szFluxmarkStatus) && terminated(card.m_szDUKPTSessionID) &&
                terminated(card.m_szDeviceSerialNumber) && terminated(card.m_szDUKPTKSN) &&
                terminated(card.m_szFirstName) && terminated(card.m_szLastName) &&
                terminated(card.m_szPAN) && terminated(card.m_szMonth) && terminated(card.m_szYear))
        << "size " << size;
    ASSERT_TRUE(terminated(raw.m_szCardData) && terminated(raw.m_szCardDataMasked) &&
                terminated(raw.m_szTk1Data) && terminated(raw.m_szTk1DataMasked) &&
                terminated(raw.m_szTk1DataRaw) && terminated(raw.m_szFluxmarkData) &&
                terminated(raw.m_szFluxmarkDataRaw) && terminated(raw.m_szFluxmarkStatus) &&
                terminated(raw.m_szExpDate))
        << "size " << size;

    for (int i = 0; i < 3; ++i) {
        ASSERT_GE(lengths[i], 0);
        ASSERT_LE(lengths[i], available(size, offsets[i], field)) << "track " << i + 1;
        size_t text = std::strlen(tracks[i]);
        if (encrypted) {
            ASSERT_EQ(text, static_cast<size_t>(2 * lengths[i])) << "track " << i + 1;
        } else {
            ASSERT_LE(text, static_cast<size_t>(lengths[i])) << "track " << i + 1;
        }
    }
    const long masked[3] = {card.m_dwTrack1LengthMasked, card.m_dwTrack2LengthMasked,
                            card.m_dwTrack3LengthMasked};
    const long maskedOffsets[3] = {509, 621, 733};
    for (int i = 0; i < 3; ++i) {
        if (size > 338) {
            ASSERT_LE(masked[i], available(size, maskedOffsets[i], 112));
        } else {
            ASSERT_EQ(masked[i], lengths[i]);
        }
    }
    ASSERT_LE(card.m_dwFluxmarkLength, available(size, 350, 128));
    ASSERT_LE(std::strlen(card.m_szFluxmarkData), 254u);
    ASSERT_EQ(card.m_dwReaderID, caps.dwPID);
    ASSERT_EQ(std::strlen(card.m_szDUKPTSessionID), 16u);
    ASSERT_EQ(std::strlen(card.m_szDUKPTKSN), 20u);
}

std::string randomText(std::mt19937& rng, size_t maxLength) {
    static const char alphabet[] = "%;?^/$=. \t\r\nAB0159Z|";
    std::uniform_int_distribution<size_t> length(0, maxLength);
    std::uniform_int_distribution<size_t> pick(0, sizeof(alphabet) - 2);
    std::string text(length(rng), ' ');
    for (char& c : text) {
        c = alphabet[pick(rng)];
    }
    return text;
}

}  // namespace

TEST(CardDataFuzz, RandomReportsOfEveryLengthForEveryModel) {
    std::mt19937 rng(0x5EED1);
    std::uniform_int_distribution<int> length(0, 2048);
    std::uniform_int_distribution<int> byte(0, 255);
    int decoded = 0;
    for (const CRConfigTable& row : quorin::CR_CfgTable) {
        SCOPED_TRACE(row.strDesc);
        FuzzReader reader(row);
        for (int i = 0; i < 150; ++i) {
            std::vector<unsigned char> report(static_cast<size_t>(length(rng)));
            for (unsigned char& b : report) {
                b = static_cast<unsigned char>(byte(rng));
            }
            ASSERT_NO_FATAL_FAILURE(decodeAndCheck(reader, report));
            ++decoded;
        }
        // Random length bytes reach past most reports: both outcomes occur.
        EXPECT_EQ(reader.delegate.ready + reader.delegate.errors, 150);
        EXPECT_GT(reader.delegate.ready, 0);
        EXPECT_GT(reader.delegate.errors, 0);
    }
    EXPECT_EQ(decoded, 150 * quorin::MAX_NUM_CFG);
}

TEST(CardDataFuzz, TruncatedReportsWithMaximalLengths) {
    // Every length byte at its maximum and every field full, cut at every
    // length: a report that ends inside a field it announces is refused, and
    // the decoder never reads past the bytes received.
    for (const CRConfigTable& row : quorin::CR_CfgTable) {
        SCOPED_TRACE(row.strDesc);
        CardReport swipe(layoutOf(row));
        for (int n = 1; n <= 3; ++n) {
            swipe.track(n, std::string(112, static_cast<char>('0' + n))).trackLength(n, 255);
            swipe.maskedTrack(n, std::string(112, static_cast<char>('a' + n))).maskedLength(n, 255);
        }
        swipe.fluxmark(0xFFFFFFFF, std::vector<unsigned char>(128, 0xEE))
            .fluxmarkLength(255)
            .serialNumber(std::string(16, '\xFF'))
            .ksn(std::vector<unsigned char>(10, 0xAB))
            .sessionId(std::vector<unsigned char>(8, 0xCD))
            .batteryLevel(255)
            .decodeStatus(255, 255, 255)
            .encodeType(255);
        std::vector<unsigned char> full = swipe.extendedReport(1000);
        FuzzReader reader(row);
        for (size_t cut = 0; cut <= full.size(); cut += 3) {
            std::vector<unsigned char> report(full.begin(), full.begin() + cut);
            ASSERT_NO_FATAL_FAILURE(decodeAndCheck(reader, report)) << "cut " << cut;
        }
        EXPECT_GT(reader.delegate.errors, 0);
    }
}

TEST(CardDataFuzz, RandomTrackTextsThroughTheDecoder) {
    std::mt19937 rng(0xCA4D);
    std::uniform_int_distribution<int> encodeType(0, 8);
    for (const CRConfigTable& row : quorin::CR_CfgTable) {
        SCOPED_TRACE(row.strDesc);
        FuzzReader reader(row);
        for (int i = 0; i < 100; ++i) {
            CardReport swipe(layoutOf(row));
            for (int n = 1; n <= 3; ++n) {
                swipe.track(n, randomText(rng, 112)).maskedTrack(n, randomText(rng, 112));
            }
            swipe.encodeType(encodeType(rng) % 3 == 0 ? 1 : encodeType(rng));
            std::vector<unsigned char> report =
                i % 2 == 0 ? swipe.shortReport() : swipe.extendedReport();
            ASSERT_NO_FATAL_FAILURE(decodeAndCheck(reader, report));
            quorin::CardText text = reader.GetCardDataStr("|");
            EXPECT_GE(std::count(text.begin(), text.end(), '|'), 31);
        }
        // Only an encrypting model's short report cannot hold a 112-byte
        // track 3 whole.
        EXPECT_EQ(reader.delegate.ready + reader.delegate.errors, 100);
        if (row.dwEncryptionCapable != 1) {
            EXPECT_EQ(reader.delegate.errors, 0);
        }
    }
}

TEST(CardDataFuzz, RandomTrackTextsThroughTheParser) {
    static const char* keys[] = {"AccountNumber",
                                 "ExpirationDate",
                                 "ServiceCode",
                                 "Name",
                                 "Surname",
                                 "FirstName",
                                 "MiddleInitial",
                                 "Title",
                                 "Suffix",
                                 "CountryCode",
                                 "State",
                                 "City",
                                 "Address",
                                 "IIN",
                                 "LicenseNumber",
                                 "BirthDate",
                                 "PostalCode",
                                 "EyeColor",
                                 "Track1DiscretionaryData"};
    std::mt19937 rng(0x7AC5);
    const int formats[] = {-1, 0, 1, 5};
    int parsed = 0;
    for (int i = 0; i < 5000; ++i) {
        std::string t1 = randomText(rng, 120), t2 = randomText(rng, 60), t3 = randomText(rng, 120);
        // Give most inputs the shape of real tracks so deeper branches run.
        if (i % 3 != 0) {
            t1 = "%" + t1 + "?";
            t2 = ";" + t2 + "?";
        }
        quorin::MsrDataParser parser(t1.c_str(), t2.c_str(), t3.c_str(), formats[i % 4]);
        std::string format = parser.GetFormat();
        ASSERT_TRUE(format.empty() || format == "ISO" || format == "AAMVA") << format;
        for (const char* key : keys) {
            ASSERT_LE(parser.GetAttribute(key).size(), t1.size() + t2.size() + t3.size());
        }
        parsed += format.empty() ? 0 : 1;
    }
    // The shaped inputs must reach the successful parses too.
    EXPECT_GT(parsed, 500);
}
