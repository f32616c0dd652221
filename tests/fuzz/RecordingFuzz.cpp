// Recordings both ways: arbitrary text read as a recording (what
// quorin-sim replay does with a file it is given), and arbitrary bytes
// recorded as a link's input reports or serial chunks (what the recorder
// does with what a reader sends). The recorder's lines always read back.
#include <string>

#include "FuzzInput.h"
#include "FuzzTarget.h"
#include "Recording.h"
#include "transport/CardDataScrubber.h"

using quorin_sim::Recording;
using quorin_test::FuzzInput;

QUORIN_FUZZ_TARGET(recording) {
    const Recording parsed =
        Recording::parse(std::string(reinterpret_cast<const char*>(data), size));
    for (const auto& device : parsed.devices) {
        for (const auto& session : device.sessions) {
            for (const auto& event : session.events) {
                FUZZ_CHECK(event.bytes.size() <= Recording::MAX_PAYLOAD);
            }
        }
    }

    FuzzInput in(data, size);
    const auto framing = static_cast<quorin::RecordedEvent::Framing>(in.u8() % 5);
    const long productIds[] = {0x01, 0x11, 0x19, 0x1c, 0x5357};
    const long productId = productIds[in.u8() % 5];
    quorin::CardDataScrubber scrubber(1, framing, productId, false, 0);
    quorin::RecordedText out = "quorin-recording 1\n";
    quorin::RecordedEvent open;
    open.kind = quorin::RecordedEvent::OPEN;
    const std::string description =
        framing == quorin::RecordedEvent::USB ? "usb path=\"p\"" : "serial port=\"p\"";
    open.bytes.assign(description.begin(), description.end());
    scrubber.take(std::move(open), &out);
    long long time = 0;
    while (!in.empty()) {
        quorin::RecordedEvent e;
        e.kind = framing == quorin::RecordedEvent::USB ? quorin::RecordedEvent::INPUT
                                                       : quorin::RecordedEvent::RX;
        e.nanos = time += 1000;
        const std::string piece = in.text(in.u8() + 1);
        e.bytes.assign(piece.begin(), piece.end());
        scrubber.take(std::move(e), &out);
    }
    quorin::RecordedEvent close;
    close.kind = quorin::RecordedEvent::CLOSE;
    close.nanos = time + 1000;
    scrubber.take(std::move(close), &out);
    const Recording back = Recording::parse(std::string(out.data(), out.size()));
    FUZZ_CHECK(back.problems.empty());
    FUZZ_CHECK(back.devices.size() == 1 && back.devices[0].sessions.size() == 1);
    FUZZ_CHECK(back.devices[0].sessions[0].events.back().kind == Recording::Event::CLOSE);
    return 0;
}
