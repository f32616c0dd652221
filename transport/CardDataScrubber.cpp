#include "transport/CardDataScrubber.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "common/stdafx.h"
#include "filters/RLE.h"
#include "filters/V5SLIP.h"
#include "transport/CardDataRules.h"
#include "transport/RecordingFormat.h"

namespace quorin {

namespace {

constexpr uint8_t SLIP_END = V5SLIP::SLIP_END;
constexpr uint8_t SLIP_ESC = V5SLIP::SLIP_ESC;
constexpr uint8_t SLIP_ESC_END = V5SLIP::SLIP_ESC_END;
constexpr uint8_t SLIP_ESC_ESC = V5SLIP::SLIP_ESC_ESC;
constexpr uint8_t LINE_END = 0x0D;
constexpr uint8_t NOTIFICATION_PACKET = 0x02;
constexpr uint8_t CARD_DATA = 0x01;
constexpr uint8_t TIDELINK_RESPONSE = 0x04;
constexpr size_t SLIP_HEADER = 3;                                   // type, length high, length low
constexpr unsigned long MAX_RLE_BYTES = V5SLIP::MAX_COMMAND_BYTES;  // what a length field can say

// How a frame's content goes back on the line.
enum Encoding {
    RAW,         // as it is (bytes outside frames, legacy text lines)
    SLIP_PLAIN,  // stuffed: header, then the content
    SLIP_RLE,    // stuffed: header, then the content run-length encoded
    HEX_TEXT,    // hex text of the content
};

bool isExtendedFamily(const ProductFacts* model) {
    if (model == nullptr) {
        return false;
    }
    switch (model->family) {
        case ReaderFamily::EXTENDED:
        case ReaderFamily::EXTENDED_BLE:
        case ReaderFamily::TPIVRA:
        case ReaderFamily::TPIVRA_BLE:
            return true;
        default:
            return false;
    }
}

// The bytes of a hex text; false when it is not one.
bool fromHex(const uint8_t* p, size_t n, RecordedBytes* out) {
    if (n % 2 != 0) {
        return false;
    }
    out->clear();
    for (size_t i = 0; i < n; i += 2) {
        int hi = char2int(static_cast<char>(p[i]));
        int lo = char2int(static_cast<char>(p[i + 1]));
        if (hi < 0 || lo < 0) {
            return false;
        }
        out->push_back(static_cast<uint8_t>(hi << 4 | lo));
    }
    return true;
}

void rleEncode(const uint8_t* p, size_t n, RecordedBytes* out) {
    for (size_t i = 0; i < n;) {
        size_t run = 1;
        while (i + run < n && p[i + run] == p[i] && run < 255) {
            ++run;
        }
        if (run >= 2) {
            out->insert(out->end(), {p[i], p[i], static_cast<uint8_t>(run)});
        } else {
            out->push_back(p[i]);
        }
        i += run;
    }
}

void addNote(std::string* to, const std::string& text) {
    if (text.empty()) {
        return;
    }
    if (!to->empty()) {
        *to += ", ";
    }
    *to += text;
}

}  // namespace

CardDataScrubber::CardDataScrubber(unsigned link, RecordedEvent::Framing framing, long productId,
                                   bool keep, long long startNanos)
    : m_link(link),
      m_framing(framing),
      m_model(findProduct(framing == RecordedEvent::USB ? productId : 0)),
      m_keep(keep),
      m_start(startNanos) {}

void CardDataScrubber::take(RecordedEvent&& event, RecordedText* out) {
    const uint64_t seq = m_firstSeq + m_held.size();
    m_held.push_back(Held{std::move(event), std::string(), false});
    Held& h = m_held.back();
    m_heldBytes += h.event.bytes.size();
    if (m_keep) {
        h.ready = true;
    } else {
        switch (h.event.kind) {
            case RecordedEvent::FEATURE_OUT:
            case RecordedEvent::FEATURE_IN:
            case RecordedEvent::TX:
                CardDataRules::otherData(h.event.bytes.data(), h.event.bytes.size(), &h.note);
                h.ready = true;
                break;
            case RecordedEvent::INPUT:
                input(seq);
                break;
            case RecordedEvent::RX:
                received(seq);
                break;
            default:
                h.ready = true;
                break;
        }
        // The link closed, or too much waits: what still waits is given up.
        // On a serial line the stream gives it up (its frames are rewritten
        // there), on USB the held input reports.
        if (h.event.kind == RecordedEvent::CLOSE || m_heldBytes > MAX_HELD_BYTES) {
            if (m_framing == RecordedEvent::USB) {
                m_notification.released.clear();
                m_notification.note.clear();
                m_notification.abandon();
                for (uint64_t owner : m_notification.released) {
                    release(owner, m_notification.note);
                }
            }
            settleStream(true);
        }
    }
    writeReady(out);
}

void CardDataScrubber::release(uint64_t seq, const std::string& note) {
    if (seq < m_firstSeq || seq - m_firstSeq >= m_held.size()) {
        return;
    }
    Held& h = held(seq);
    h.ready = true;
    addNote(&h.note, note);
}

void CardDataScrubber::input(uint64_t seq) {
    Held& h = held(seq);
    RecordedBytes& b = h.event.bytes;
    const bool extended = isExtendedFamily(m_model);
    if (b.empty()) {
        h.ready = true;
        return;
    }
    if (extended && b[0] == NOTIFICATION_PACKET) {
        bool waits = m_notification.take(b.data(), b.size(), false, seq);
        const std::vector<uint64_t> released = m_notification.released;
        for (size_t i = 0; i < released.size(); ++i) {
            release(released[i], i + 1 == released.size() ? m_notification.note : std::string());
        }
        if (!waits) {
            release(seq, std::string());
        }
        return;
    }
    if (extended && b[0] != CARD_DATA) {
        CardDataRules::withhold(b.data() + 1, b.size() - 1, "neither card data nor a notification",
                                &h.note);
    } else {
        CardDataRules::cardReport(b.data(), b.size(), m_model, &h.note);
    }
    h.ready = true;
}

void CardDataScrubber::received(uint64_t seq) {
    Held& h = held(seq);
    if (m_framing == RecordedEvent::SERIAL_NONE) {
        // Without framing every chunk is a response.
        CardDataRules::otherData(h.event.bytes.data(), h.event.bytes.size(), &h.note);
        h.ready = true;
        return;
    }
    m_chunks.emplace_back(seq, h.event.bytes.size());
    m_stream.insert(m_stream.end(), h.event.bytes.begin(), h.event.bytes.end());
    cutFrames();
    settleStream(false);
}

// Cuts frames as the framing filters do: SLIP between two C0 (bytes before
// the first one are dropped), the line framings up to a CR found from the
// second byte on.
void CardDataScrubber::cutFrames() {
    const uint8_t* s = m_stream.data();
    const size_t n = m_stream.size();
    for (;;) {
        if (m_framing == RecordedEvent::SERIAL_SLIP) {
            const uint8_t* start = std::find(s + m_cut, s + n, SLIP_END);
            if (start == s + n) {
                return;
            }
            const size_t at = static_cast<size_t>(start - s);
            if (at > m_cut) {
                m_frames.push_back(Frame(m_cut, at, RAW));
                readFrame(m_frames.back());
                m_cut = at;
            }
            const uint8_t* end = std::find(start + 1, s + n, SLIP_END);
            if (end == s + n) {
                return;
            }
            m_frames.push_back(Frame(at + 1, static_cast<size_t>(end - s), SLIP_PLAIN));
            m_cut = static_cast<size_t>(end - s) + 1;
        } else {
            if (m_cut + 1 >= n) {
                return;
            }
            const uint8_t* end = std::find(s + m_cut + 1, s + n, LINE_END);
            if (end == s + n) {
                return;
            }
            m_frames.push_back(Frame(m_cut, static_cast<size_t>(end - s), RAW));
            m_cut = static_cast<size_t>(end - s) + 1;
        }
        readFrame(m_frames.back());
    }
}

void CardDataScrubber::readFrame(Frame& f) {
    const uint8_t* wire = m_stream.data() + f.start;
    const size_t length = f.end - f.start;
    RecordedBytes& c = f.content;
    std::string& note = f.note;
    const uint64_t owner = m_frames.size() - 1;
    auto notification = [&](RecordedBytes& packet) {
        if (!m_notification.take(packet.data(), packet.size(), true, owner)) {
            const std::vector<uint64_t> released = m_notification.released;
            for (uint64_t frame : released) {
                if (frame < m_frames.size() && !m_notification.note.empty()) {
                    m_frames[frame].changed = true;
                }
            }
            addNote(&note, m_notification.note);
        }
    };
    if (f.encoding == RAW && m_framing == RecordedEvent::SERIAL_SLIP) {
        // Bytes before a frame's start, which the filter drops.
        c.assign(wire, wire + length);
        std::string before = note;
        CardDataRules::withhold(c.data(), c.size(), "outside any frame", &note);
        f.changed = note != before;
        return;
    }
    if (f.encoding == SLIP_PLAIN) {
        for (size_t i = 0; i < length; ++i) {
            if (wire[i] == SLIP_ESC && i + 1 < length &&
                (wire[i + 1] == SLIP_ESC_END || wire[i + 1] == SLIP_ESC_ESC)) {
                c.push_back(wire[++i] == SLIP_ESC_END ? SLIP_END : SLIP_ESC);
            } else {
                c.push_back(wire[i]);
            }
        }
        if (c.size() <= SLIP_HEADER) {
            return;  // dropped by the filter; too short to carry anything
        }
        const uint8_t type = c[0];
        if (type == 1 || type == 3) {
            RecordedBytes decoded(MAX_RLE_BYTES);
            unsigned long count = MAX_RLE_BYTES;
            if (DecodeRLEData(c.data() + SLIP_HEADER, static_cast<int>(c.size() - SLIP_HEADER),
                              decoded.data(), &count) != RLE_OK) {
                CardDataRules::withhold(c.data() + 1, c.size() - 1,
                                        "run-length data that does not decode", &note);
                f.changed = true;
                return;
            }
            decoded.resize(count);
            f.header.assign(c.begin(), c.begin() + SLIP_HEADER);
            f.encoding = SLIP_RLE;
            c.swap(decoded);
        } else {
            f.header.assign(c.begin(), c.begin() + SLIP_HEADER);
            c.erase(c.begin(), c.begin() + SLIP_HEADER);
        }
        std::string before = note;
        if (type == 0 || type == 1) {
            CardDataRules::cardReport(c.data(), c.size(), m_model, &note);
        } else if (type == 2 || type == 3) {
            // The packet the reader object gets: 0x02, then the data.
            c.insert(c.begin(), NOTIFICATION_PACKET);
            f.packet = true;
            notification(c);
        } else if (type == 4 || type == 5) {
            CardDataRules::otherData(c.data(), c.size(), &note);
        } else {
            CardDataRules::withhold(c.data(), c.size(), "a frame of no known type", &note);
        }
        f.changed = f.changed || note != before;
        return;
    }
    // A line.
    const bool hex = fromHex(wire, length, &c);
    std::string before = note;
    if (m_framing == RecordedEvent::SERIAL_LEGACY) {
        const bool upper = std::none_of(wire, wire + length, [](uint8_t x) { return x >= 'a'; });
        if (hex && upper) {
            f.encoding = HEX_TEXT;
            CardDataRules::otherData(c.data(), c.size(), &note);
        } else {
            c.assign(wire, wire + length);
            CardDataRules::cardText(c.data(), c.size(), &note);
        }
    } else if (!hex) {
        c.assign(wire, wire + length);
        CardDataRules::withhold(c.data(), c.size(), "a line that is not hex text", &note);
    } else if (c.size() > 1 && c[0] == NOTIFICATION_PACKET) {
        // The connection hands the reader object 0x02, then the line's bytes.
        f.encoding = HEX_TEXT;
        c.insert(c.begin(), NOTIFICATION_PACKET);
        f.packet = true;
        notification(c);
    } else if (c.size() > 1 && c[0] == TIDELINK_RESPONSE) {
        f.encoding = HEX_TEXT;
        CardDataRules::otherData(c.data() + 1, c.size() - 1, &note);
    } else if (c.size() > 1) {
        f.encoding = HEX_TEXT;
        CardDataRules::withhold(c.data() + 1, c.size() - 1, "a line of no known type", &note);
    }
    f.changed = f.changed || note != before;
}

void CardDataScrubber::settleStream(bool force) {
    if (force) {
        if (m_framing != RecordedEvent::USB && m_notification.active()) {
            m_notification.released.clear();
            m_notification.note.clear();
            m_notification.abandon();
            for (uint64_t frame : m_notification.released) {
                if (frame < m_frames.size()) {
                    m_frames[frame].changed = true;
                    addNote(&m_frames[frame].note, m_notification.note);
                }
            }
        }
        if (m_cut < m_stream.size()) {
            Frame tail(m_cut, m_stream.size(), RAW);
            tail.content.assign(m_stream.begin() + static_cast<std::ptrdiff_t>(m_cut),
                                m_stream.end());
            CardDataRules::withhold(tail.content.data(), tail.content.size(),
                                    "a frame never finished", &tail.note);
            tail.changed = true;
            m_frames.push_back(std::move(tail));
            m_cut = m_stream.size();
        }
    } else if (m_notification.active() || m_cut < m_stream.size()) {
        return;
    }
    // The wire bytes of each changed frame.
    std::vector<RecordedBytes> wire(m_frames.size());
    for (size_t i = 0; i < m_frames.size(); ++i) {
        Frame& f = m_frames[i];
        if (!f.changed) {
            continue;
        }
        RecordedBytes plain = f.header;
        const size_t skip = f.packet && !f.content.empty() ? 1 : 0;
        const uint8_t* body = f.content.data() + skip;
        const size_t bodyLength = f.content.size() - skip;
        if (f.encoding == SLIP_RLE) {
            rleEncode(body, bodyLength, &plain);
        } else {
            plain.insert(plain.end(), body, body + bodyLength);
        }
        RecordedBytes& out = wire[i];
        if (f.encoding == SLIP_PLAIN || f.encoding == SLIP_RLE) {
            for (uint8_t b : plain) {
                if (b == SLIP_END) {
                    out.insert(out.end(), {SLIP_ESC, SLIP_ESC_END});
                } else if (b == SLIP_ESC) {
                    out.insert(out.end(), {SLIP_ESC, SLIP_ESC_ESC});
                } else {
                    out.push_back(b);
                }
            }
        } else if (f.encoding == HEX_TEXT) {
            static const char DIGITS[] = "0123456789ABCDEF";
            for (uint8_t b : plain) {
                out.push_back(static_cast<uint8_t>(DIGITS[b >> 4]));
                out.push_back(static_cast<uint8_t>(DIGITS[b & 0x0F]));
            }
        } else {
            out = plain;
        }
    }
    // Each chunk again, with its part of the changed frames: a frame that
    // kept its size keeps its place in the chunks; one that changed size
    // goes whole into the chunk where it started.
    std::vector<size_t> changed;
    for (size_t i = 0; i < m_frames.size(); ++i) {
        if (m_frames[i].changed && m_frames[i].end > m_frames[i].start) {
            changed.push_back(i);
        }
    }
    size_t pos = 0;
    for (const auto& chunk : m_chunks) {
        const size_t cs = pos;
        const size_t ce = pos + chunk.second;
        RecordedBytes out;
        std::string note;
        size_t at = cs;
        size_t k = 0;
        while (at < ce) {
            while (k < changed.size() && m_frames[changed[k]].end <= at) {
                ++k;
            }
            if (k < changed.size() && m_frames[changed[k]].start <= at) {
                const Frame& f = m_frames[changed[k]];
                const RecordedBytes& w = wire[changed[k]];
                const size_t stop = std::min(ce, f.end);
                if (w.size() == f.end - f.start) {
                    out.insert(out.end(), w.begin() + static_cast<std::ptrdiff_t>(at - f.start),
                               w.begin() + static_cast<std::ptrdiff_t>(stop - f.start));
                } else if (at == f.start) {
                    out.insert(out.end(), w.begin(), w.end());
                }
                at = stop;
                continue;
            }
            const size_t stop = k < changed.size() ? std::min(ce, m_frames[changed[k]].start) : ce;
            out.insert(out.end(), m_stream.begin() + static_cast<std::ptrdiff_t>(at),
                       m_stream.begin() + static_cast<std::ptrdiff_t>(stop));
            at = stop;
        }
        for (const Frame& f : m_frames) {
            if (f.end > cs && f.end <= ce) {
                addNote(&note, f.note);
            }
        }
        Held& h = held(chunk.first);
        h.event.bytes.swap(out);
        release(chunk.first, note);
        pos = ce;
    }
    m_stream.clear();
    m_chunks.clear();
    m_frames.clear();
    m_cut = 0;
}

void CardDataScrubber::writeReady(RecordedText* out) {
    while (!m_held.empty() && m_held.front().ready) {
        line(m_held.front(), out);
        m_heldBytes -= std::min(m_heldBytes, m_held.front().event.bytes.size());
        m_held.pop_front();
        ++m_firstSeq;
    }
}

void CardDataScrubber::line(const Held& h, RecordedText* out) const {
    const RecordedEvent& e = h.event;
    RecordedText prefix;
    prefix += RecordingFormat::seconds(e.nanos - m_start).c_str();
    prefix += ' ';
    prefix += std::to_string(m_link).c_str();
    prefix += ' ';
    if (e.droppedBefore > 0) {
        *out += prefix;
        *out += ("dropped " + std::to_string(e.droppedBefore) +
                 " # events lost here: the recording could not keep up\n")
                    .c_str();
    }
    *out += prefix;
    auto data = [&] { RecordingFormat::data(e.bytes.data(), e.bytes.size(), out); };
    char id[8];
    switch (e.kind) {
        case RecordedEvent::OPEN:
            *out += "open ";
            out->append(reinterpret_cast<const char*>(e.bytes.data()), e.bytes.size());
            break;
        case RecordedEvent::FEATURE_OUT:
            *out += "feature-out ";
            data();
            *out += (" result=" + std::to_string(e.value)).c_str();
            break;
        case RecordedEvent::FEATURE_IN:
            std::snprintf(id, sizeof(id), "%02X", e.value & 0xFF);
            *out += "feature-in ";
            *out += id;
            *out += ' ';
            if (e.bytes.empty()) {
                *out += "fail";
            } else {
                data();
            }
            break;
        case RecordedEvent::INPUT:
            *out += "input ";
            data();
            break;
        case RecordedEvent::READ_FAILED:
            *out += ("read-failed " + std::to_string(e.value)).c_str();
            break;
        case RecordedEvent::TX:
            *out += "tx ";
            data();
            break;
        case RecordedEvent::TX_FAILED:
            *out +=
                ("tx-failed " + std::to_string(e.value) + " # " + std::strerror(e.value)).c_str();
            break;
        case RecordedEvent::RX:
            *out += "rx ";
            data();
            break;
        case RecordedEvent::HANGUP:
            *out += "hangup";
            break;
        case RecordedEvent::CLOSE:
            *out += "close";
            break;
    }
    if (!h.note.empty()) {
        *out += (" # " + h.note).c_str();
    }
    *out += '\n';
}

}  // namespace quorin
