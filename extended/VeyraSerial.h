// An extended-protocol reader on a serial port.
//
// It uses Veyra's command path over the serial connection, which writes each
// command buffer without its report-ID byte and returns each response frame
// behind a placeholder byte, so the status is again byte 1. A composed
// command of up to 2049 bytes is written in one piece. Frames arrive already
// unwrapped by the framing filter, on the connection's receiving thread.
#pragma once

#include "extended/Veyra.h"

namespace quorin {

class VeyraSerial : public Veyra {
public:
    VeyraSerial();
    ~VeyraSerial() override;

    // No opening handshake on this link.
    void afterOpen() override;
    // 0x00/0x01 card data, 0xC0 card data from the framing filters (a report
    // as hex text, or run-length decoded), 0x02/0x03 notification packets,
    // others ignored.
    void onData(iConnection* connObject, unsigned char* pData, int dataLen) override;
    // Chunk length in bytes 1-2; frames of 8 bytes or fewer are ignored; no
    // more than the frame holds after its header is copied.
    void addNotification(unsigned char* pData, int dataLen) override;

    static constexpr unsigned int SERIAL_COMMAND_LENGTH_LIMITATION = 2048;
    // The first byte of a card-data frame from the serial framing filters.
    static constexpr unsigned char SERIAL_CARD_DATA = 0xC0;
};

}  // namespace quorin
