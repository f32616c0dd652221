// One thing that passed a recorded connection, on its way from the
// connection's thread to the recorder's writer thread (Recorder).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "common/CardDataAllocator.h"

namespace quorin {

// The recorder's queue holds clear card data until the writer has replaced
// it: card data containers (the card data pool, wiped when released).
using RecordedBytes = CardBytes;
// The recording's lines before they are written (they hold card data as
// read when QUORIN_RECORD_CARD_DATA=1).
using RecordedText = std::basic_string<char, std::char_traits<char>, CardDataAllocator<char>>;

struct RecordedEvent {
    enum Kind : uint8_t {
        OPEN,         // bytes: the description line's fields; value: product ID; extra: Framing
        FEATURE_OUT,  // bytes: the report written, ID first; value: hidapi's result
        FEATURE_IN,   // value: the report ID asked for; bytes: the report (ID first) when it came
        INPUT,        // bytes: one input report
        READ_FAILED,  // value: hidapi's result (the reader is gone)
        TX,           // bytes: what the host sends, posted before the first byte goes out
        TX_FAILED,    // value: why the send of the TX before failed (an errno value)
        RX,           // bytes: what one read took from a serial line
        HANGUP,       // the serial line hung up
        CLOSE,
    };
    // How a link frames what it carries (OPEN's extra).
    enum Framing : int { USB = 0, SERIAL_NONE, SERIAL_SLIP, SERIAL_LEGACY, SERIAL_TIDELINK };

    unsigned link = 0;
    Kind kind = CLOSE;
    int value = 0;
    int extra = 0;
    long long nanos = 0;       // CLOCK_MONOTONIC
    size_t droppedBefore = 0;  // events of this link lost just before this one
    RecordedBytes bytes;
};

}  // namespace quorin
