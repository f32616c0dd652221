// The recorder's view of a reader's notifications: packets put together as
// the reader object does (see Veyra), so a notification's card data can be
// replaced even when it is cut across packets. The packets stay where they
// are (in held events or frames of the recording); the assembly remembers
// where each chunk came from and writes the replaced data back there.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "transport/RecordedEvent.h"

namespace quorin {

class NotificationAssembly {
public:
    // Held data beyond which an unfinished notification is given up.
    static constexpr size_t MAX_HELD_PIECES = 1024;

    // Takes one packet (its type byte first; the chunk starts at byte 9),
    // whose chunk lives at packet[9..] in the caller's buffer until released.
    // serial: a two-byte chunk length (serial links), else one byte (USB, 0
    // standing for 256). Returns true when the packet belongs to a
    // notification still unfinished: its owner must wait. released() then
    // lists the owners whose data is final (a finished notification, with
    // its card data replaced, or one given up, its chunks withheld).
    bool take(uint8_t* packet, size_t n, bool serial, uint64_t owner);
    // Gives up the unfinished notification, if any (its chunks withheld).
    void abandon();
    bool active() const { return m_active; }

    // Owners released by the last take or abandon, and what was done.
    std::vector<uint64_t> released;
    std::string note;

private:
    struct Piece {
        uint64_t owner;
        uint8_t* at;
        size_t length;
        size_t offset;
    };
    void finish();

    bool m_active = false;
    uint16_t m_id = 0;
    size_t m_total = 0;
    RecordedBytes m_data;
    std::vector<Piece> m_pieces;
};

}  // namespace quorin
