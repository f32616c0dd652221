#include "transport/RecordedLink.h"

#include <cstdio>

#include "common/LibraryState.h"
#include "filters/FormatFilter.h"
#include "transport/Recorder.h"
#include "transport/RecordingFormat.h"
#include "transport/SerialOptions.h"

namespace quorin {

namespace {

std::string hex4(unsigned value) {
    char text[8];
    std::snprintf(text, sizeof(text), "%04X", value & 0xFFFF);
    return text;
}

// The FORMAT key of the filter a serial path chose.
const char* const FRAMINGS[] = {"NONE", "SLIP", "LEGACY", "TIDELINK"};

RecordedEvent::Framing framingOf(const SerialOptions& options, std::string* name) {
    const RecordedEvent::Framing kinds[] = {RecordedEvent::SERIAL_NONE, RecordedEvent::SERIAL_SLIP,
                                            RecordedEvent::SERIAL_LEGACY,
                                            RecordedEvent::SERIAL_TIDELINK};
    for (size_t i = 0; i < 4; ++i) {
        try {
            if (FormatFilter::GetFilter(FRAMINGS[i]) == options.dataFormat) {
                *name = FRAMINGS[i];
                return kinds[i];
            }
        } catch (...) {
        }
    }
    *name = "NONE";
    return RecordedEvent::SERIAL_NONE;
}

}  // namespace

std::shared_ptr<RecordedLink> RecordedLink::forUsb(const UsbDevice& d) {
    std::string text =
        "usb path=" + RecordingFormat::quoted(d.path) + " vid=" + hex4(d.vendorId) +
        " pid=" + hex4(d.productId) +
        " serial=" + (d.serial ? RecordingFormat::quoted(*d.serial) : std::string("-")) +
        " manufacturer=" + RecordingFormat::quoted(d.manufacturer) +
        " product=" + RecordingFormat::quoted(d.product) + " release=" + hex4(d.release) +
        " interface=" + std::to_string(d.interface) +
        " feature-size=" + std::to_string(d.featureSize) +
        " input-size=" + std::to_string(d.inputSize) + " backend=" +
#ifdef QUORIN_HIDAPI_LIBUSB
        "libusb"
#else
        "hidraw"
#endif
        + " scheme=" + RecordingFormat::quoted(d.scheme);
    return Recorder::instance().open(text, RecordedEvent::USB, static_cast<long>(d.productId));
}

std::shared_ptr<RecordedLink> RecordedLink::forSerial(const std::string& scheme,
                                                      const SerialOptions& options) {
    static const char* const PARITIES[] = {"none", "odd", "even", "mark", "space"};
    static const char* const STOP_BITS[] = {"1", "1.5", "2"};
    std::string format;
    RecordedEvent::Framing framing = framingOf(options, &format);
    std::string text =
        "serial port=" + RecordingFormat::quoted(options.portName) +
        " baud=" + std::to_string(options.baudRate) +
        " parity=" + PARITIES[options.parity >= 0 && options.parity <= 4 ? options.parity : 0] +
        " data-bits=" + std::to_string(options.dataBits) + " stop-bits=" +
        STOP_BITS[options.stopBits >= 0 && options.stopBits <= 2 ? options.stopBits : 0] +
        " format=" + format + " scheme=" + RecordingFormat::quoted(scheme);
    return Recorder::instance().open(text, framing, 0);
}

void RecordedLink::record(RecordedEvent::Kind kind, const unsigned char* data, size_t length,
                          int value) {
    if (m_closed.load() || LibraryState::forked()) {
        return;
    }
    RecordedEvent event;
    event.link = m_id;
    event.kind = kind;
    event.value = value;
    event.nanos = RecordingFormat::now();
    if (data != nullptr && length > 0) {
        event.bytes.assign(data, data + length);
    }
    Recorder::instance().post(std::move(event));
}

void RecordedLink::close() {
    if (m_closed.exchange(true) || LibraryState::forked()) {
        return;
    }
    RecordedEvent event;
    event.link = m_id;
    event.kind = RecordedEvent::CLOSE;
    event.nanos = RecordingFormat::now();
    Recorder::instance().closeLink(std::move(event));
}

}  // namespace quorin
