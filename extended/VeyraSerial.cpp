#include "extended/VeyraSerial.h"

namespace quorin {

VeyraSerial::VeyraSerial() {
    VEYRA_COMMAND_LENGTH_LIMITATION = SERIAL_COMMAND_LENGTH_LIMITATION;
}

VeyraSerial::~VeyraSerial() {
    // Frames must stop arriving before this object's part of the reader goes.
    stopConnection();
}

void VeyraSerial::afterOpen() {}

void VeyraSerial::onData(iConnection* /*connObject*/, unsigned char* pData, int dataLen) {
    if (pData == nullptr || dataLen < 1) {
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
