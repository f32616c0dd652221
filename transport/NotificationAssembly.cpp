#include "transport/NotificationAssembly.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "transport/CardDataRules.h"

namespace quorin {

namespace {

constexpr size_t HEADER = 9;

size_t be16(const uint8_t* p) {
    return static_cast<size_t>(p[0]) << 8 | p[1];
}

}  // namespace

bool NotificationAssembly::take(uint8_t* packet, size_t n, bool serial, uint64_t owner) {
    released.clear();
    note.clear();
    if (n < HEADER) {
        released.push_back(owner);  // no chunk: nothing to hold back
        return false;
    }
    size_t chunk = serial ? be16(packet + 1) : (packet[2] == 0 ? 256 : packet[2]);
    const size_t offset = be16(packet + 3);
    const uint16_t id = static_cast<uint16_t>(be16(packet + 5));
    const size_t total = be16(packet + 7);
    chunk = std::min(chunk, n - HEADER);
    if (m_active && (id != m_id || total != m_total)) {
        abandon();
        std::vector<uint64_t> given = released;
        std::string givenNote = note;
        bool held = take(packet, n, serial, owner);
        released.insert(released.begin(), given.begin(), given.end());
        note = givenNote + (note.empty() || givenNote.empty() ? "" : ", ") + note;
        return held;
    }
    if (!m_active && (offset != 0 || chunk > total)) {
        // The reader object refuses it: a chunk of nothing it knows.
        CardDataRules::withhold(packet + HEADER, chunk, "notification chunk out of place", &note);
        released.push_back(owner);
        return false;
    }
    if (!m_active) {
        m_active = true;
        m_id = id;
        m_total = total;
        m_data.assign(total, 0);
    }
    if (offset > m_total || chunk > m_total - offset || m_pieces.size() >= MAX_HELD_PIECES) {
        // Outside the notification: the reader object drops it and the
        // notification with it.
        CardDataRules::withhold(packet + HEADER, chunk, "notification chunk out of place", &note);
        m_pieces.push_back({owner, nullptr, 0, 0});
        abandon();
        return false;
    }
    if (chunk > 0) {
        // (A notification of no data has no storage to copy into.)
        std::memcpy(m_data.data() + offset, packet + HEADER, chunk);
    }
    m_pieces.push_back({owner, packet + HEADER, chunk, offset});
    if (offset + chunk == m_total) {
        finish();
        return false;
    }
    return true;
}

void NotificationAssembly::finish() {
    CardDataRules::notificationData(m_data.data(), m_data.size(), m_id, &note);
    for (const Piece& piece : m_pieces) {
        if (piece.at != nullptr && piece.length > 0) {
            std::memcpy(piece.at, m_data.data() + piece.offset, piece.length);
        }
        released.push_back(piece.owner);
    }
    if (!note.empty()) {
        char id[8];
        std::snprintf(id, sizeof(id), "%04X", m_id);
        note = "notification " + std::string(id) + ": " + note;
    }
    m_pieces.clear();
    m_data.clear();
    m_data.shrink_to_fit();
    m_active = false;
}

void NotificationAssembly::abandon() {
    size_t withheld = 0;
    for (const Piece& piece : m_pieces) {
        if (piece.at != nullptr) {
            std::fill(piece.at, piece.at + piece.length, 0);
            withheld += piece.length;
        }
        released.push_back(piece.owner);
    }
    if (withheld > 0) {
        if (!note.empty()) {
            note += ", ";
        }
        note += std::to_string(withheld) + " bytes withheld (a notification that never finished)";
    }
    m_pieces.clear();
    m_data.clear();
    m_data.shrink_to_fit();
    m_active = false;
}

}  // namespace quorin
