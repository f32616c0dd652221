// One recorded link's events on their way into the file: clear card data
// replaced (CardDataRules), then formatted as lines, in the order the events
// happened. Runs on the recorder's writer thread only.
//
// An event whose card data cannot be judged yet waits: a notification
// packet until its notification is complete, serial bytes until the frame
// they belong to is. The events behind it wait too, so the lines keep their
// order. What still waits when the link closes, or when more than
// MAX_HELD_BYTES wait, is withheld (zeroed) and said so in its line.
//
// With QUORIN_RECORD_CARD_DATA=1 (keep) nothing is replaced and nothing waits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "common/ProductTable.h"
#include "transport/NotificationAssembly.h"
#include "transport/RecordedEvent.h"

namespace quorin {

class CardDataScrubber {
public:
    static constexpr size_t MAX_HELD_BYTES = 256 * 1024;

    CardDataScrubber(unsigned link, RecordedEvent::Framing framing, long productId, bool keep,
                     long long startNanos);

    // Takes the link's next event and appends the lines that can be written
    // now. A CLOSE writes everything.
    void take(RecordedEvent&& event, RecordedText* out);

private:
    struct Held {
        RecordedEvent event;
        std::string note;
        bool ready = false;
    };
    // A frame of the serial stream: its bytes in the stream, and its
    // content (what the framing carries) when that was changed.
    struct Frame {
        Frame(size_t from, size_t to, int how) : start(from), end(to), encoding(how) {}
        size_t start;
        size_t end;
        RecordedBytes content;  // decoded, scrubbed
        RecordedBytes header;   // run-length frames: type and length, before the data
        int encoding;
        bool packet = false;  // content starts with the 0x02 the reader object gets in front
        bool changed = false;
        std::string note;
    };

    Held& held(uint64_t seq) { return m_held[seq - m_firstSeq]; }
    void release(uint64_t seq, const std::string& note);
    void input(uint64_t seq);
    void received(uint64_t seq);
    void cutFrames();
    void readFrame(Frame& frame);
    void settleStream(bool force);
    void writeReady(RecordedText* out);
    void line(const Held& h, RecordedText* out) const;

    const unsigned m_link;
    const RecordedEvent::Framing m_framing;
    const ProductFacts* const m_model;
    const bool m_keep;
    const long long m_start;

    std::deque<Held> m_held;
    uint64_t m_firstSeq = 0;
    size_t m_heldBytes = 0;
    NotificationAssembly m_notification;

    // The serial stream: bytes of the received chunks still held, from the
    // first of them on, and the frames cut from it so far.
    RecordedBytes m_stream;
    std::vector<std::pair<uint64_t, size_t>> m_chunks;  // held RX events and their sizes
    std::deque<Frame> m_frames;
    size_t m_cut = 0;  // stream bytes cut into frames so far
};

}  // namespace quorin
