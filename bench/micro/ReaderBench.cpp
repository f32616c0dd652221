// Card-data reports through the reader object: report decoding (with the
// track parser that fills what the tracks do not give), the card data
// string, the track parser alone, and a whole swipe (both, as the host's
// card-data callback sees it). The target for a whole swipe is under 20 us.
//
// Every report comes with and without track 2: without it, account number
// and expiry can only come from the track parser's reading of track 1, so
// the "_track1_only" cases always run that fallback.
#include <benchmark/benchmark.h>

#include <string>

#include "BenchData.h"
#include "CardReport.h"
#include "reader/CRConfigTable.h"
#include "reader/MsrDataParser.h"
#include "reader/Strivo.h"

using namespace quorin_bench;
using quorin::CRConfigTable;
using quorin::Strivo;
using quorin_sim::CardReport;

namespace {

const char* const ISO_TRACK1 = "%B4111111111111111^DOE/ALEX Q.MR^2512101123456789012345?";
const char* const ISO_TRACK2 = ";4111111111111111=25121011234567890123?";
const char* const MASKED_TRACK1 = "%B4111********1111^DOE/ALEX Q.MR^2512101000000000000000?";
const char* const MASKED_TRACK2 = ";4111********1111=25121010000000000000?";
const char* const MASKED_TRACK3 = ";0111********1111=0000000000000000000000000000000000?";
const char* const AAMVA_TRACK1 = "%CASAN JOSE^DOE$ALEX$JR^123 MAIN ST^?";
const char* const AAMVA_TRACK2 = ";6360231234567890=251219900101?";
const char* const AAMVA_TRACK3 = "%!!95112-1234 C NONE      NONEM510180BRNBLUXYZ?";
// Four pieces on track 1 and three on track 2: not readable as ISO.
const char* const AAMVA_ONLY_TRACK1 = "%CASAN JOSE^DOE$ALEX$JR^123 MAIN ST^APT 4^?";
const char* const AAMVA_ONLY_TRACK2 = ";6360231234567890=251219900101=89?";

enum class Report { Short, ShortTrack1Only, Extended, ExtendedTrack1Only };

bool isShort(Report kind) {
    return kind == Report::Short || kind == Report::ShortTrack1Only;
}

// Counts what the reader reports after each report.
class CardSink : public quorin::Strivo_Delegate {
public:
    void OnError(Strivo*, int, char*) override {}
    void OnDeviceChange(Strivo*, EDeviceStateValues) override {}
    void OnCardUpdate(Strivo*, ECardDataStateValues status) override {
        (status == ZEDRA_DATA_READY ? ready : failed) += 1;
    }
    void OnNotification(Strivo*, unsigned short, const unsigned char*, int) override {}

    long ready = 0;
    long failed = 0;
};

// A reader without a connection, set up with one device-table row, as the
// receiving thread drives it.
class RowReader : public Strivo {
public:
    explicit RowReader(const CRConfigTable& row) {
        configTable = row;
        rawData.m_dwDevicePID = row.dwPID;
        setDelegate(&sink);
    }
    ~RowReader() override { setDelegate(nullptr); }

    CardSink sink;
};

const CRConfigTable& rowFor(Report kind) {
    // A plain swipe reader sends short reports; the encrypting, masking
    // swipe reader with every capability sends the full extended report.
    return *quorin::findConfigRow(isShort(kind) ? 0x2 : 0x11);
}

Bytes reportFor(Report kind) {
    if (isShort(kind)) {
        CardReport report(quorin_sim::findVirtualModel(rowFor(kind).dwPID)->report);
        report.track(1, ISO_TRACK1);
        if (kind == Report::Short) {
            report.track(2, ISO_TRACK2);
        }
        return report.shortReport();
    }
    // Ciphertext tracks, masked tracks, Fluxmark block, serial number, key
    // serial number, session id and battery level.
    auto cipher = [](size_t n, uint32_t seed) {
        const Bytes b = patternBytes(n, seed);
        return std::string(b.begin(), b.end());
    };
    CardReport report(quorin_sim::findVirtualModel(rowFor(kind).dwPID)->report);
    report.track(1, cipher(80, 1)).track(3, cipher(104, 3)).encodeType(0);
    report.maskedTrack(1, MASKED_TRACK1).maskedTrack(3, MASKED_TRACK3);
    if (kind == Report::Extended) {
        report.track(2, cipher(40, 2)).maskedTrack(2, MASKED_TRACK2);
    }
    return report.fluxmark(0x00010203, patternBytes(128, 4))
        .serialNumber("B0123456789ABCDE")
        .encryptionStatus(0x0102)
        .ksn(patternBytes(10, 5))
        .sessionId(patternBytes(8, 6))
        .batteryLevel(77)
        .extendedReport();
}

const char* panFor(Report kind) {
    return isShort(kind) ? "4111111111111111" : "4111********1111";
}

bool checkCard(benchmark::State& state, RowReader& reader, Report kind) {
    const ZDMSRDATA card = reader.getCardData();
    if (reader.sink.failed != 0 || std::string(card.m_szPAN) != panFor(kind) ||
        std::string(card.m_szLastName) != "DOE" || std::string(card.m_szYear) != "25") {
        state.SkipWithError("the report was not decoded");
        return false;
    }
    return true;
}

void BM_Strivo_getMSRResult(benchmark::State& state, Report kind) {
    const Bytes report = reportFor(kind);
    RowReader reader(rowFor(kind));
    for (auto _ : state) {
        reader.getMSRResult(report.data(), static_cast<int>(report.size()));
    }
    checkCard(state, reader, kind);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * report.size()));
}
BENCHMARK_CAPTURE(BM_Strivo_getMSRResult, short_338B, Report::Short)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_Strivo_getMSRResult, short_338B_track1_only, Report::ShortTrack1Only)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_Strivo_getMSRResult, extended_932B, Report::Extended)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_Strivo_getMSRResult, extended_932B_track1_only, Report::ExtendedTrack1Only)
    ->Unit(benchmark::kMicrosecond);

void BM_Strivo_GetCardDataStr(benchmark::State& state, Report kind) {
    const Bytes report = reportFor(kind);
    RowReader reader(rowFor(kind));
    reader.getMSRResult(report.data(), static_cast<int>(report.size()));
    size_t length = 0;
    for (auto _ : state) {
        quorin::CardText line = reader.GetCardDataStr("|");
        length = line.size();
        benchmark::DoNotOptimize(line.data());
    }
    if (checkCard(state, reader, kind) &&
        reader.GetCardDataStr("|").find(panFor(kind)) == std::string::npos) {
        state.SkipWithError("the card data string lacks the account number");
    }
    state.counters["text_bytes"] = static_cast<double>(length);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * length));
}
BENCHMARK_CAPTURE(BM_Strivo_GetCardDataStr, short_338B, Report::Short)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_Strivo_GetCardDataStr, extended_932B, Report::Extended)
    ->Unit(benchmark::kMicrosecond);

// One swipe as the host sees it: the report decoded, then the whole record
// read back as the card data string.
void BM_WholeSwipe(benchmark::State& state, Report kind) {
    const Bytes report = reportFor(kind);
    RowReader reader(rowFor(kind));
    for (auto _ : state) {
        reader.getMSRResult(report.data(), static_cast<int>(report.size()));
        quorin::CardText line = reader.GetCardDataStr("|");
        benchmark::DoNotOptimize(line.data());
    }
    checkCard(state, reader, kind);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * report.size()));
}
BENCHMARK_CAPTURE(BM_WholeSwipe, short_338B, Report::Short)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_WholeSwipe, short_338B_track1_only, Report::ShortTrack1Only)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_WholeSwipe, extended_932B, Report::Extended)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_WholeSwipe, extended_932B_track1_only, Report::ExtendedTrack1Only)
    ->Unit(benchmark::kMicrosecond);

// The track parser on its own, as the decoder runs it (ISO first, AAMVA as
// the fallback) or with the layout forced; counted in track characters.
void BM_MsrDataParser(benchmark::State& state, const char* t1, const char* t2, const char* t3,
                      int format, const char* expectedFormat) {
    std::string kind;
    std::string account;
    for (auto _ : state) {
        quorin::MsrDataParser parser(t1, t2, t3, format);
        kind = parser.GetFormat();
        account = parser.GetAttribute("AccountNumber");
        benchmark::DoNotOptimize(account.data());
    }
    if (kind != expectedFormat || account.empty()) {
        state.SkipWithError("the tracks were not parsed");
    }
    const size_t chars = std::string(t1).size() + std::string(t2).size() + std::string(t3).size();
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * chars));
}
BENCHMARK_CAPTURE(BM_MsrDataParser, iso_auto, ISO_TRACK1, ISO_TRACK2, "", -1, "ISO")
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_MsrDataParser, aamva, AAMVA_TRACK1, AAMVA_TRACK2, AAMVA_TRACK3, 1, "AAMVA")
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_MsrDataParser, aamva_after_iso, AAMVA_ONLY_TRACK1, AAMVA_ONLY_TRACK2,
                  AAMVA_TRACK3, -1, "AAMVA")
    ->Unit(benchmark::kMicrosecond);

}  // namespace
