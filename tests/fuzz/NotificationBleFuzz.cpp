// Notification reassembly of the Bluetooth LE link (two-byte chunk length),
// with data-ready signals and card-data reports mixed in.
#include "NotificationFuzz.h"
#include "extended/VeyraBle.h"

QUORIN_FUZZ_TARGET(notify_ble) {
    return quorin_test::fuzzNotificationSequence<quorin::VeyraBle>(data, size, 2048);
}
