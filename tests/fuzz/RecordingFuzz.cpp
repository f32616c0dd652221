// Recordings both ways: arbitrary text read as a recording (what
// quorin-sim replay does with a file it is given), and arbitrary bytes
// recorded as a link's input reports or serial chunks (what the recorder
// does with what a reader sends). The recorder's lines always read back, and
// recording them again changes nothing: no card data it knows is left in them.
#include <cstdint>
#include <string>
#include <vector>

#include "FuzzInput.h"
#include "FuzzTarget.h"
#include "Recording.h"
#include "transport/CardDataScrubber.h"

using quorin_sim::Recording;
using quorin_test::FuzzInput;
using Pieces = std::vector<std::vector<uint8_t>>;

namespace {

// The pieces recorded as one session of a link (input reports on USB,
// received chunks on a serial line), read back from the lines written.
Recording record(quorin::RecordedEvent::Framing framing, long productId, const Pieces& pieces) {
    quorin::CardDataScrubber scrubber(1, framing, productId, false, 0);
    quorin::RecordedText out = "quorin-recording 1\n";
    quorin::RecordedEvent open;
    open.kind = quorin::RecordedEvent::OPEN;
    const std::string description =
        framing == quorin::RecordedEvent::USB ? "usb path=\"p\"" : "serial port=\"p\"";
    open.bytes.assign(description.begin(), description.end());
    scrubber.take(std::move(open), &out);
    long long time = 0;
    for (const auto& piece : pieces) {
        quorin::RecordedEvent e;
        e.kind = framing == quorin::RecordedEvent::USB ? quorin::RecordedEvent::INPUT
                                                       : quorin::RecordedEvent::RX;
        e.nanos = time += 1000;
        e.bytes.assign(piece.begin(), piece.end());
        scrubber.take(std::move(e), &out);
    }
    quorin::RecordedEvent close;
    close.kind = quorin::RecordedEvent::CLOSE;
    close.nanos = time + 1000;
    scrubber.take(std::move(close), &out);
    return Recording::parse(std::string(out.data(), out.size()));
}

Pieces piecesOf(const Recording& recording) {
    Pieces pieces;
    for (const auto& event : recording.devices.at(0).sessions.at(0).events) {
        if (event.kind == Recording::Event::INPUT || event.kind == Recording::Event::RX) {
            pieces.push_back(event.bytes);
        }
    }
    return pieces;
}

}  // namespace

QUORIN_FUZZ_TARGET(recording) {
    const Recording parsed =
        Recording::parse(std::string(reinterpret_cast<const char*>(data), size));
    FUZZ_CHECK(parsed.devices.size() <= Recording::MAX_DEVICES);
    size_t held = 0;
    for (const auto& device : parsed.devices) {
        for (const auto& session : device.sessions) {
            for (const auto& event : session.events) {
                FUZZ_CHECK(event.bytes.size() <= Recording::MAX_PAYLOAD);
                held += event.bytes.size();
            }
        }
    }
    FUZZ_CHECK(held <= Recording::MAX_BYTES);

    FuzzInput in(data, size);
    const auto framing = static_cast<quorin::RecordedEvent::Framing>(in.u8() % 5);
    const long productIds[] = {0x01, 0x11, 0x19, 0x1c, 0x5357};
    const long productId = productIds[in.u8() % 5];
    Pieces pieces;
    while (!in.empty()) {
        const std::vector<uint8_t> piece = in.bytes(in.u8() + 1u);
        pieces.push_back(piece);
    }
    const Recording once = record(framing, productId, pieces);
    FUZZ_CHECK(once.problems.empty());
    FUZZ_CHECK(once.devices.size() == 1 && once.devices[0].sessions.size() == 1);
    FUZZ_CHECK(once.devices[0].sessions[0].events.back().kind == Recording::Event::CLOSE);
    // What the recorder wrote holds nothing it would still replace or
    // withhold: recorded again, it comes out the same.
    const Pieces written = piecesOf(once);
    FUZZ_CHECK(piecesOf(record(framing, productId, written)) == written);
    return 0;
}
