// What the recorder writes of a notification whose last packets never came:
// its chunks are withheld when the link closes, on USB and on a serial
// line alike.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "transport/CardDataScrubber.h"

namespace {

using quorin::RecordedEvent;

RecordedEvent event(RecordedEvent::Kind kind, const std::vector<uint8_t>& bytes, long long nanos) {
    RecordedEvent e;
    e.kind = kind;
    e.nanos = nanos;
    e.bytes.assign(bytes.begin(), bytes.end());
    return e;
}

struct Unfinished {
    const char* name;
    RecordedEvent::Framing framing;
    long productId;
    RecordedEvent::Kind kind;
    std::vector<uint8_t> first;  // the first packet of three, as it was read
};

// The first packet's data: a TLV account number, 41 11 11 11 11 11 11 11.
const Unfinished UNFINISHED[] = {
    {"usb",
     RecordedEvent::USB,
     0x19,
     RecordedEvent::INPUT,
     {0x02, 0x00, 0x0A, 0x00, 0x00, 0x03, 0x03, 0x00, 0x1E, 0x5A, 0x08, 0x41, 0x11, 0x11, 0x11,
      0x11, 0x11, 0x11, 0x11}},
    {"slip", RecordedEvent::SERIAL_SLIP, 0, RecordedEvent::RX, {0xC0, 0x02, 0x00, 0x12, 0x00, 0x0A,
                                                                0x00, 0x00, 0x03, 0x03, 0x00, 0x1E,
                                                                0x5A, 0x08, 0x41, 0x11, 0x11, 0x11,
                                                                0x11, 0x11, 0x11, 0x11, 0xC0}},
};

TEST(CardDataScrubber, AnUnfinishedNotificationIsWithheldWhenTheLinkCloses) {
    for (const Unfinished& row : UNFINISHED) {
        quorin::CardDataScrubber scrubber(1, row.framing, row.productId, false, 0);
        quorin::RecordedText out;
        RecordedEvent open = event(RecordedEvent::OPEN, {'p'}, 0);
        open.value = static_cast<int>(row.productId);
        open.extra = row.framing;
        scrubber.take(std::move(open), &out);
        scrubber.take(event(row.kind, row.first, 1000), &out);
        scrubber.take(event(RecordedEvent::CLOSE, {}, 2000), &out);
        const std::string text(out.data(), out.size());
        EXPECT_NE(text.find("close"), std::string::npos) << row.name << ": " << text;
        EXPECT_EQ(text.find("41111111111111"), std::string::npos) << row.name << ": " << text;
    }
}

}  // namespace
