// A recorded connection's way into the recorder: the connection calls it at
// each transfer point, on whichever thread makes the transfer. Made by
// Recorder::open (through the factories below) only while recording is on;
// a connection without one records nothing.
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>

#include "transport/RecordedEvent.h"

namespace quorin {

class SerialOptions;

class RecordedLink {
public:
    // What a USB connection tells about its device.
    struct UsbDevice {
        std::string scheme;  // the connection's scheme text
        std::string path;    // hidapi's path
        unsigned vendorId = 0;
        unsigned productId = 0;
        std::optional<std::string> serial;  // none: the device has no serial number string
        std::string manufacturer;
        std::string product;
        unsigned release = 0;
        int interface = -1;
        int featureSize = 0;
        int inputSize = 0;  // 0: input reports are not read
    };

    // The links of a USB and a serial connection that has just opened;
    // null when recording is off.
    static std::shared_ptr<RecordedLink> forUsb(const UsbDevice& device);
    static std::shared_ptr<RecordedLink> forSerial(const std::string& scheme,
                                                   const SerialOptions& options);

    RecordedLink(unsigned id) : m_id(id) {}

    // One event; value and the bytes as RecordedEvent says for its kind.
    void record(RecordedEvent::Kind kind, const unsigned char* data, size_t length, int value = 0);
    // The connection closed: its last event. Later calls record nothing.
    void close();

private:
    const unsigned m_id;
    std::atomic<bool> m_closed{false};
};

}  // namespace quorin
