// Card-data input reports through the decoder of every device-table row, then
// through the card data string and the TLV payload built from the record.
//
// Input: one byte choosing the row, the rest is the report. The report sits
// in a buffer of exactly its size so the address sanitizer sees any read past
// it; the record must come out with every text terminated inside its field.
#include <cstring>
#include <memory>

#include "FuzzInput.h"
#include "FuzzTarget.h"
#include "reader/CRConfigTable.h"
#include "reader/CardDataString.h"
#include "reader/Strivo.h"
#include "reader/TlvPayload.h"

using namespace quorin;
using quorin_test::FuzzInput;

namespace {

class StateDelegate : public Strivo_Delegate {
public:
    void OnError(Strivo*, int, char*) override {}
    void OnDeviceChange(Strivo*, EDeviceStateValues) override {}
    void OnCardUpdate(Strivo*, ECardDataStateValues status) override { last = status; }
    void OnNotification(Strivo*, unsigned short, const unsigned char*, int) override {}
    int last = -1;
};

class RowReader : public Strivo {
public:
    explicit RowReader(const CRConfigTable& row) {
        configTable = row;
        rawData.m_dwDevicePID = row.dwPID;
    }
};

template <size_t N>
bool terminated(const char (&text)[N]) {
    return std::memchr(text, '\0', N) != nullptr;
}

}  // namespace

QUORIN_FUZZ_TARGET(card_report) {
    FuzzInput in(data, size);
    const CRConfigTable& row = CR_CfgTable[in.u8() % MAX_NUM_CFG];
    std::vector<unsigned char> report = in.bytes(4096);
    const int length = static_cast<int>(report.size());
    std::unique_ptr<unsigned char[]> exact(new unsigned char[report.size() + 1]);
    if (length > 0) {
        std::memcpy(exact.get(), report.data(), report.size());
    }

    StateDelegate delegate;
    RowReader reader(row);
    reader.setDelegate(&delegate);
    reader.getMSRResult(exact.get(), length);
    reader.setDelegate(nullptr);
    FUZZ_CHECK(delegate.last == ZEDRA_DATA_READY || delegate.last == ZEDRA_DATA_ERROR);

    ZDMSRDATA card = reader.getCardData();
    FUZZ_CHECK(terminated(card.m_szCardData) && terminated(card.m_szCardDataMasked));
    FUZZ_CHECK(terminated(card.m_szTrack1Data) && terminated(card.m_szTrack2Data) &&
               terminated(card.m_szTrack3Data));
    FUZZ_CHECK(terminated(card.m_szTrack1DataMasked) && terminated(card.m_szTrack2DataMasked) &&
               terminated(card.m_szTrack3DataMasked));
    FUZZ_CHECK(terminated(card.m_szFluxmarkData) && terminated(card.m_szFluxmarkStatus) &&
               terminated(card.m_szCardEncodeType));
    FUZZ_CHECK(terminated(card.m_szDUKPTSessionID) && terminated(card.m_szDUKPTKSN) &&
               terminated(card.m_szDeviceSerialNumber));
    FUZZ_CHECK(terminated(card.m_szFirstName) && terminated(card.m_szLastName) &&
               terminated(card.m_szPAN) && terminated(card.m_szMonth) && terminated(card.m_szYear));
    // No length may claim more bytes than the report carried.
    for (long n : {card.m_dwTrack1Length, card.m_dwTrack2Length, card.m_dwTrack3Length,
                   card.m_dwTrack1LengthMasked, card.m_dwTrack2LengthMasked,
                   card.m_dwTrack3LengthMasked, card.m_dwFluxmarkLength}) {
        FUZZ_CHECK(n >= 0 && n <= length);
    }

    const quorin::CardText line = CardDataString::format(card, "|");
    const quorin::CardText first = CardDataString::formatFirstGeneration(card, ",");
    FUZZ_CHECK(!line.empty() && !first.empty());
    const quorin::CardText tlv = TlvPayload::build(card);
    FUZZ_CHECK(tlv.compare(0, 2, "FA") == 0);
    if (row.dwEncryptionCapable == 1) {
        // Every value is hex text then (clear tracks are copied as they are).
        FUZZ_CHECK(tlv.size() % 2 == 0);
    }
    return 0;
}
