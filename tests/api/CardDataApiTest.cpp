// A swipe from the virtual USB reader, read back through every generation's
// card-data accessors.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ApiRecorder.h"
#include "CardReport.h"
#include "Quorin.h"
#include "ReportLayoutOf.h"
#include "SimulatedSwipe.h"
#include "TestWait.h"
#include "VirtualModel.h"
#include "reader/CRConfigTable.h"
#include "virtualhid/ExtendedReader.h"
#include "virtualhid/PlainCommandReader.h"
#include "virtualhid/VirtualHid.h"

using namespace quorin_test;
using quorin_sim::CardReport;
using quorin_sim::VirtualHid;

namespace {

constexpr uint16_t VID = QUORIN_USB_VENDOR_ID;
const std::string MODEL_TRACK1 = "%B4111111111111111^CARDHOLDER/SAMPLE^3012101000000000000?";
const std::string MODEL_TRACK2 = ";4111111111111111=30121010000000000000?";

std::string hexId(uint16_t pid) {
    char text[8];
    std::snprintf(text, sizeof(text), "%04x", pid);
    return text;
}

std::string deviceSerial() {
    char buffer[256] = {0};
    int length = 0;
    QuorinGetDeviceSerial(buffer, &length);
    return buffer;
}

size_t countOf(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + 1)) {
        ++n;
    }
    return n;
}

// The capability flags of a device-table row; the API tests see only the
// exported functions, so the rows they need are spelled out here.
quorin::CRConfigTable capabilities(long pid, bool all) {
    quorin::CRConfigTable row{};
    row.dwPID = pid;
    long f = all ? 1 : 0;
    row.dwFluxmarkCapable = row.dwEncryptionCapable = row.dwMaskingCapable = f;
    row.dwSessionIDCapable = row.dwDUKPTKSNCapable = row.dwDeviceSerialNumberCapable = f;
    return row;
}

CardReport bankCardSwipe(uint16_t pid) {
    return CardReport::bankCard(layoutOf(capabilities(pid, true)));
}

class CardDataApiTest : public ::testing::Test {
protected:
    void SetUp() override {
        VirtualHid::instance().reset();
        ApiRecorder::unregisterFirstGeneration();
        ApiRecorder::instance().reset();
    }
    void TearDown() override {
        if (m_handle != 0) {
            CloseDeviceEx(m_handle);
        }
        CloseDevice();
        ApiRecorder::unregisterFirstGeneration();
        VirtualHid::instance().reset();
    }

    unsigned long m_handle = 0;
};

TEST_F(CardDataApiTest, NothingIsReadyWithoutAReader) {
    char buffer[256];
    int length = -1;
    EXPECT_EQ(QuorinGetTrack1(buffer, &length), 1);
    EXPECT_EQ(length, -1);
    EXPECT_STREQ(GetTrack1(), "");
    EXPECT_STREQ(GetCardName(), "");
    EXPECT_STREQ(GetCardData(), "");
    EXPECT_EQ(GetCardPANLength(), 0);
    EXPECT_EQ(GetResultCode(), 5);
    EXPECT_EQ(GetSwipeCount(), -1);
    EXPECT_STREQ(GetCardDataEx(0), "");
    ZDMSRDATA record;
    EXPECT_EQ(GetCardDataStructureEx(0, &record), 6);
    EXPECT_EQ(GetResultCodeEx(0), 0);
    EXPECT_STREQ(GetRawData(0), "");
}

TEST_F(CardDataApiTest, FirstGenerationSwipeThroughEveryGetter) {
    auto device = VirtualHid::instance().plug(VID, 0x11, std::string("SN0001"));
    ApiRecorder::registerFirstGeneration();
    ASSERT_EQ(OpenDevice(nullptr), 0);
    device->pushInputReport(bankCardSwipe(0x11).extendedReport());
    ASSERT_TRUE(ApiRecorder::instance().waitFor("card", 1));
    long state = 0;
    QuorinGetCardDataState(&state);
    ASSERT_EQ(state, ZEDRA_DATA_READY);

    // Encrypting model: tracks come back as hex of the bytes received.
    EXPECT_STREQ(GetTrack1(), "01020304");
    EXPECT_STREQ(GetTrack2(), "AABB");
    EXPECT_STREQ(GetTrack3(), "");
    EXPECT_STREQ(GetTrack2Masked(), ";4111********1111=2512101?");
    EXPECT_STREQ(GetPAN(), "4111********1111");
    EXPECT_STREQ(GetCardIIN(), "4111**");
    EXPECT_STREQ(GetCardLast4(), "1111");
    EXPECT_EQ(GetCardPANLength(), 16);
    EXPECT_EQ(GetPANLength(), 16);
    EXPECT_STREQ(GetTrackDecodeStatus(), "000aff");
    EXPECT_STREQ(GetTrack2DecodeStatus(), "10");
    EXPECT_STREQ(GetEncodeType(), "0");
    EXPECT_STREQ(GetEncryptionStatus(), "1a2b");
    EXPECT_STREQ(GetKSN(), "90102030405060708001");
    EXPECT_STREQ(GetSessionID(), "0102030405060708");
    // The status bytes in report order (least significant first).
    EXPECT_STREQ(GetFluxmarkStatus(), "B0A00201");
    EXPECT_STREQ(GetFluxmark(), "5A5A5A5A5A5A5A5A");
    EXPECT_EQ(GetFluxmarkLength(), 8);
    // Names, expiry and service code come from parsing the masked tracks.
    EXPECT_STREQ(GetLastName(), "DOE");
    EXPECT_STREQ(GetFirstName(), "JOHN");
    EXPECT_STREQ(GetExpDate(), "2512");
    EXPECT_STREQ(GetCardExpDate(), "2512");
    EXPECT_STREQ(GetExpDateYear(), "25");
    EXPECT_STREQ(GetExpDateMonth(), "12");
    EXPECT_STREQ(GetCardServiceCode(), "101");

    char buffer[768];
    int length = 0;
    ASSERT_EQ(QuorinGetTrack2Masked(buffer, &length), 0);
    EXPECT_STREQ(buffer, ";4111********1111=2512101?");
    EXPECT_EQ(length, 26);
    ASSERT_EQ(QuorinGetDeviceSerial(buffer, &length), 0);
    EXPECT_STREQ(buffer, "B0123456789ABCDE");
    ASSERT_EQ(QuorinGetMaskedTracks(buffer, &length), 0);
    EXPECT_EQ(std::string(buffer),
              "%B4111********1111^DOE/JOHN Q^2512101000000000?;4111********1111=2512101?");
    ZDMSRDATA record;
    ASSERT_EQ(QuorinGetCardData(&record), 0);
    EXPECT_EQ(record.m_dwReaderID, 0x11);
    EXPECT_STREQ(record.m_szCardEncodeType, "ISO");

    // The card data strings: 31 delimiters, the first generation's 32 with a
    // trailing one; the callback got the standard form.
    std::string callback = ApiRecorder::instance().callsOf("card")[0].text;
    EXPECT_EQ(countOf(callback, "|"), 31u);
    EXPECT_EQ(callback.substr(0, 16), "0000000000000011");
    std::vector<char> text(16384);
    ASSERT_EQ(QuorinGetCardDataStr(text.data(), const_cast<char*>("|")), 0);
    std::string first(text.data());
    EXPECT_EQ(countOf(first, "|"), 32u);
    EXPECT_EQ(first.back(), '|');
    EXPECT_EQ(std::string(GetCardData()), first);
    // Field 8 is the Fluxmark status as a number in the first generation.
    EXPECT_NE(first.find("|" + std::to_string(0x0102A0B0L) + "|"), std::string::npos);
    EXPECT_NE(callback.find("|B0A00201|"), std::string::npos);

    // The last report, as lower-case hex.
    std::string raw = GetRawData(0);
    EXPECT_EQ(raw.size(), 2 * CardReport::EXTENDED_SIZE);
    EXPECT_EQ(raw.find_first_of("ABCDEF"), std::string::npos);

    // Clearing makes the first and plain generations answer "not ready", and
    // wipes the texts handed out: a pointer kept from before reads "".
    const char* kept[] = {GetPAN(), GetCardData(), GetRawData(0), GetTLVPayload()};
    ClearCardData();
    EXPECT_STREQ(GetTrack2Masked(), "");
    EXPECT_STREQ(GetCardData(), "");
    EXPECT_STREQ(GetRawData(0), "");
    EXPECT_EQ(QuorinGetTrack1(buffer, &length), 1);
    for (const char* text : kept) {
        EXPECT_STREQ(text, "");
    }
}

TEST_F(CardDataApiTest, CardDataStringNeverPassesItsBuffer) {
    auto device = VirtualHid::instance().plug(VID, 0x11, std::string("SN0001"));
    ApiRecorder::registerFirstGeneration();
    ASSERT_EQ(OpenDevice(nullptr), 0);
    device->pushInputReport(bankCardSwipe(0x11).extendedReport());
    ASSERT_TRUE(ApiRecorder::instance().waitFor("card", 1));

    // The documented 16384 bytes, then a guard area that must stay as it is.
    constexpr size_t SIZE = 16384;
    constexpr size_t GUARD = 4096;
    std::vector<char> buffer(SIZE + GUARD, '#');
    auto guardIntact = [&] {
        return std::all_of(buffer.begin() + SIZE, buffer.end(), [](char c) { return c == '#'; });
    };

    // A delimiter whose text still fits is used as given.
    std::string fits(100, '/');
    ASSERT_EQ(QuorinGetCardDataStr(buffer.data(), &fits[0]), 0);
    std::string text(buffer.data());
    EXPECT_LT(text.size(), SIZE);
    EXPECT_TRUE(text.size() > fits.size() && text.substr(text.size() - fits.size()) == fits);
    EXPECT_TRUE(guardIntact());

    // 32 delimiters of 520 characters are more than the buffer holds: the
    // call is refused and nothing is written.
    std::fill(buffer.begin(), buffer.end(), '#');
    std::string tooLong(520, '/');
    EXPECT_EQ(QuorinGetCardDataStr(buffer.data(), &tooLong[0]), 6);
    EXPECT_EQ(buffer[0], '#');
    EXPECT_TRUE(guardIntact());
    // Nor does a delimiter far longer than the buffer itself.
    std::string huge(SIZE * 2, '/');
    EXPECT_EQ(QuorinGetCardDataStr(buffer.data(), &huge[0]), 6);
    EXPECT_TRUE(guardIntact());
    // The library's own buffer still gets the whole "|" form.
    EXPECT_EQ(countOf(GetCardData(), "|"), 32u);
}

TEST_F(CardDataApiTest, ExReaderGettersAndCallback) {
    auto device = VirtualHid::instance().plug(VID, 0x11, std::string("SN0001"));
    m_handle = OpenDeviceEx("HID://SN0001");
    ASSERT_NE(m_handle, 0u);
    int marker = 0;
    ApiRecorder::registerEx(m_handle, &marker);
    ZDMSRDATA record;
    std::memset(&record, 0x7F, sizeof(record));
    // Before any swipe the record is all zero, and is still copied.
    ASSERT_EQ(GetCardDataStructureEx(m_handle, &record), 0);
    EXPECT_EQ(record.m_szTrack1Data[0], '\0');
    EXPECT_EQ(record.m_dwTrack1Length, 0);

    device->pushInputReport(bankCardSwipe(0x11).extendedReport());
    ASSERT_TRUE(ApiRecorder::instance().waitFor("card", 1));
    auto call = ApiRecorder::instance().callsOf("card")[0];
    EXPECT_EQ(call.handle, m_handle);
    EXPECT_EQ(call.obj, &marker);
    EXPECT_EQ(std::string(GetCardDataEx(m_handle)), call.text);
    ASSERT_EQ(GetCardDataStructureEx(m_handle, &record), 0);
    EXPECT_STREQ(record.m_szPAN, "4111********1111");
    EXPECT_EQ(GetResultCodeEx(m_handle), 0);
    // The connection's store holds a report only while it is being handled.
    EXPECT_TRUE(waitUntil([&] { return std::string(GetRawData(m_handle)).empty(); }));

    // Swipes of shorter and longer cards after it: each callback text is that
    // card's whole text, nothing of the one before (the storage of a text is
    // reused for the next).
    CardReport shortCard(layoutOf(capabilities(0x11, true)));
    shortCard.track(2, ";4111111111111111=2512?");
    for (int i = 0; i < 3; ++i) {
        const bool longer = i == 1;
        device->pushInputReport(longer ? bankCardSwipe(0x11).extendedReport()
                                       : shortCard.extendedReport());
        ASSERT_TRUE(ApiRecorder::instance().waitFor("card", 2 + i));
        const std::string text = ApiRecorder::instance().callsOf("card")[1 + i].text;
        EXPECT_EQ(std::string(GetCardDataEx(m_handle)), text) << "swipe " << i;
        EXPECT_EQ(countOf(text, "|"), 31u) << "swipe " << i;
        EXPECT_EQ(text.find("%B") != std::string::npos, longer) << "swipe " << i;
    }
    // The clear wipes the record and the text handed out.
    const char* kept = GetCardDataEx(m_handle);
    ClearCardDataEx(m_handle);
    EXPECT_STREQ(kept, "");
    ASSERT_EQ(GetCardDataStructureEx(m_handle, &record), 0);
    EXPECT_STREQ(record.m_szPAN, "");
}

TEST_F(CardDataApiTest, PlainModelSwipeKeepsTrackText) {
    auto device = VirtualHid::instance().plug(VID, 0x01, std::string("KB0001"));
    ApiRecorder::registerFirstGeneration();
    ASSERT_EQ(OpenDevice(nullptr), 0);
    CardReport swipe(layoutOf(capabilities(0x01, false)));
    swipe.track(1, "%B5500000000000004^SMITH/ANNA^2701201?").track(2, ";5500000000000004=2701201?");
    device->pushInputReport(swipe.shortReport());
    ASSERT_TRUE(ApiRecorder::instance().waitFor("card", 1));
    EXPECT_STREQ(GetTrack1(), "%B5500000000000004^SMITH/ANNA^2701201?");
    EXPECT_STREQ(GetPAN(), "5500000000000004");
    // A model without key serial numbers reports ten zero bytes.
    EXPECT_STREQ(GetKSN(), "00000000000000000000");
}

// Every reader model that enumeration lists, end to end: a virtual reader of
// the model, as the simulator's own model table describes it (not the
// library's), is opened and swiped, and what the host reads back must match
// what that model sends. A wrong capability, protocol or EMV fact in the
// library's product table fails here.
TEST_F(CardDataApiTest, EveryListedModelReadsAsItsOwnDescriptionSays) {
    int checked = 0;
    for (const quorin_sim::VirtualModel& model : quorin_sim::virtualModels()) {
        if (!model.listed) {
            continue;
        }
        SCOPED_TRACE("product " + hexId(model.productId));
        ApiRecorder::instance().reset();
        const std::string serial = "VM" + hexId(model.productId);
        std::shared_ptr<quorin_sim::VirtualReader> device;
        std::function<void()> swipe;
        if (model.extendedProtocol) {
            auto reader = VirtualHid::instance().plug<quorin_sim::ExtendedReader>(
                VID, model.productId, serial);
            swipe = [reader] { reader->swipe(MODEL_TRACK1, MODEL_TRACK2, ""); };
            device = reader;
        } else {
            auto reader = VirtualHid::instance().plug<quorin_sim::PlainCommandReader>(
                VID, model.productId, serial);
            swipe = [reader] { reader->swipe(MODEL_TRACK1, MODEL_TRACK2, ""); };
            device = reader;
        }
        ApiRecorder::registerFirstGeneration();
        ASSERT_EQ(OpenDevice(("HID://" + serial).c_str()), 0);
        EXPECT_EQ(std::string(GetProductID()), hexId(model.productId));
        EXPECT_EQ(IsDeviceEMV(), model.emv);

        swipe();
        ASSERT_TRUE(ApiRecorder::instance().waitFor("card", 1));
        const quorin_sim::ReportLayout& layout = model.report;
        if (layout.encrypted) {
            // Encrypted tracks come back as the hex of the bytes received.
            EXPECT_EQ(std::string(GetTrack2()).size(), 2 * MODEL_TRACK2.size());
        } else {
            EXPECT_EQ(std::string(GetTrack2()), MODEL_TRACK2);
        }
        // A reader that does not mask leaves the masked track as the clear one.
        EXPECT_EQ(
            std::string(GetTrack2Masked()),
            layout.maskedTracks ? quorin_sim::SimulatedSwipe::mask(MODEL_TRACK2) : MODEL_TRACK2);
        EXPECT_EQ(deviceSerial(), layout.serialNumber ? serial : "");
        // The simulated key serial number starts FFFF9876543210E0; without
        // one the field stays zero.
        EXPECT_EQ(std::string(GetKSN()).substr(0, 16),
                  layout.ksn ? "FFFF9876543210E0" : "0000000000000000");
        EXPECT_EQ(GetFluxmarkLength(), layout.fluxmark ? 54 : 0);

        CloseDevice();
        ApiRecorder::unregisterFirstGeneration();
        VirtualHid::instance().detach(device);
        ++checked;
    }
    // Every product the USB enumeration lists has a virtual model.
    EXPECT_EQ(checked, 13);
}

}  // namespace
