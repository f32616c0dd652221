#include "extended/VeyraSerial.h"

#include <vector>

#include "common/stdafx.h"

namespace quorin {

VeyraSerial::VeyraSerial() {
    VEYRA_COMMAND_LENGTH_LIMITATION = SERIAL_COMMAND_LENGTH_LIMITATION;
}

VeyraSerial::~VeyraSerial() {
    // Frames must stop arriving before this object's part of the reader goes.
    stopConnection();
}

void VeyraSerial::afterOpen() {}

namespace {

// The serial connection hands card data over behind the byte 0xC0: from the
// SLIP filter as hex text of the report's bytes ("C0" + "0100..."), whether
// the reader sent the frame plain or run-length encoded. Recovers the report
// when the frame is that hex text and a plausible card-data report; anything
// else (a legacy line of track text, noise) yields false.
constexpr int MIN_CARD_REPORT = 8;     // decode statuses, lengths, encode type
constexpr int MAX_CARD_REPORT = 2048;  // the largest input report a reader sends

bool hexDigits(const unsigned char* p, int n) {
    for (int i = 0; i < n; ++i) {
        if (char2int(static_cast<char>(p[i])) < 0) {
            return false;
        }
    }
    return true;
}

unsigned char hexByteAt(const unsigned char* p) {
    return static_cast<unsigned char>(16 * char2int(static_cast<char>(p[0])) +
                                      char2int(static_cast<char>(p[1])));
}

bool cardReportFromFrame(const unsigned char* pData, int dataLen, CardBytes* report) {
    const unsigned char* text = pData + 1;
    int length = dataLen - 1;
    if (length % 2 != 0 || !hexDigits(text, length)) {
        return false;
    }
    int bytes = length / 2;
    if (bytes < MIN_CARD_REPORT || bytes > MAX_CARD_REPORT) {
        return false;
    }
    report->resize(static_cast<size_t>(bytes));
    for (int i = 0; i < bytes; ++i) {
        (*report)[static_cast<size_t>(i)] = hexByteAt(text + 2 * i);
    }
    return true;
}

}  // namespace

void VeyraSerial::onData(iConnection* /*connObject*/, unsigned char* pData, int dataLen) {
    if (pData == nullptr || dataLen < 1) {
        return;
    }
    if (pData[0] == SERIAL_CARD_DATA) {
        // Without this, a serial reader's swipe would never reach the host.
        CardBytes report;
        if (cardReportFromFrame(pData, dataLen, &report)) {
            try {
                getMSRResult(report.data(), static_cast<int>(report.size()));
            } catch (...) {
                reportError("invalid input data!");
            }
        } else {
            // A card frame that holds no report: the swipe is lost, and said so.
            reportError("Invalid input data!");
        }
        return;
    }
    if (pData[0] == 0x00 || pData[0] == 0x01) {
        try {
            getMSRResult(pData, dataLen);
        } catch (...) {
            reportError("invalid input data!");
        }
    } else if (pData[0] == NOTIFICATION_PACKET || pData[0] == NOTIFICATION_PACKET_ALT) {
        try {
            addNotification(pData, dataLen);
        } catch (...) {
            discardNotification();
            reportError("Exception!");
        }
    }
}

void VeyraSerial::addNotification(unsigned char* pData, int dataLen) {
    // The type byte is kept as received: a 0x03 packet that does not
    // complete its notification leaves an invalid state behind.
    static const NotificationRules serial = {ChunkLengthForm::TwoBytes, true, true};
    reassemble(pData, dataLen, serial);
}

}  // namespace quorin
