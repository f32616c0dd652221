// Notification reassembly of the serial link (two-byte chunk length, chunks
// clamped to the frame), with card-data frames of the framing filters mixed in.
#include "NotificationFuzz.h"
#include "extended/VeyraSerial.h"

QUORIN_FUZZ_TARGET(notify_serial) {
    return quorin_test::fuzzNotificationSequence<quorin::VeyraSerial>(data, size, 4096);
}
