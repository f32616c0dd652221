// Notification reassembly of the USB link (chunk length in one byte, 0 = 256),
// with card-data reports mixed in.
#include "NotificationFuzz.h"
#include "extended/Veyra.h"

QUORIN_FUZZ_TARGET(notify_usb) {
    return quorin_test::fuzzNotificationSequence<quorin::Veyra>(data, size, 2048);
}
