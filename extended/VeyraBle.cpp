#include "extended/VeyraBle.h"

#include <cstring>
#include <vector>

#include "common/MutexLock.h"
#include "common/ResultCode.h"

namespace quorin {

namespace {
constexpr int HANDSHAKE_ANSWER_SIZE = 1024;
}  // namespace

VeyraBle::VeyraBle() : Veyra(READ_AREA) {
    std::memset(notificationHeader, 0, sizeof(notificationHeader));
}

VeyraBle::~VeyraBle() {
    // No report may reach onData once the mutex and condition variable are
    // being destroyed.
    stopConnection();
}

void VeyraBle::setDataReadyTimeout(std::chrono::milliseconds timeout) {
    m_timeoutMs.store(timeout.count());
}

void VeyraBle::signalDataReady() {
    MutexLock guard(cmdDataMutex);
    m_dataReady = true;
    commandDataReady.notify_one();
}

void VeyraBle::clearDataReady() {
    MutexLock guard(cmdDataMutex);
    m_dataReady = false;
}

void VeyraBle::afterOpen() {
    unsigned char first[] = "4801";
    unsigned char second[] = "4601000014";
    for (unsigned char* command : {first, second}) {
        int length = static_cast<int>(std::strlen(reinterpret_cast<char*>(command)));
        if (sendCommand(command, length) == RC_OK && waitForCommand() == RC_OK) {
            std::vector<unsigned char> answer(HANDSHAKE_ANSWER_SIZE, 0);
            getResponse(answer.data(), HANDSHAKE_ANSWER_SIZE);
        }
    }
}

int VeyraBle::sendCommand(unsigned char* command, int commandLength) {
    clearDataReady();
    return Veyra::sendCommand(command, commandLength);
}

int VeyraBle::waitForCommand() {
    UniqueLock guard(cmdDataMutex);
    bool ready =
        commandDataReady.wait_for(guard.native(), std::chrono::milliseconds(m_timeoutMs.load()),
                                  [this]() REQUIRES(cmdDataMutex) { return m_dataReady; });
    m_dataReady = false;
    return ready ? RC_OK : RC_TIMEOUT;
}

void VeyraBle::onData(iConnection* connObject, unsigned char* pData, int dataLen) {
    try {
        if (pData == nullptr || dataLen < 1) {
            return;
        }
        if (dataLen == 2 && pData[0] == 0x01) {
            signalDataReady();
        } else if (pData[0] == 0x00 || pData[0] == 0x01) {
            // Card data: decoded as a USB card report, with one more (zero)
            // byte than was received.
            if (dataLen >= READ_AREA) {
                return;
            }
            std::vector<unsigned char> work(READ_AREA, 0);
            std::memcpy(work.data(), pData, static_cast<size_t>(dataLen));
            work[0] = 0x01;
            VeyraReceiveData(connObject, work.data(), dataLen + 1);
        } else if (pData[0] == NOTIFICATION_PACKET || pData[0] == NOTIFICATION_PACKET_ALT) {
            pData[0] = NOTIFICATION_PACKET;
            addNotification(pData, dataLen);
        }
    } catch (...) {
        // The receiving path of this link drops what it cannot handle.
    }
}

void VeyraBle::addNotification(unsigned char* pData, int dataLen) {
    static const NotificationRules ble = {ChunkLengthForm::TwoBytes, true, false};
    reassemble(pData, dataLen, ble);
}

int VeyraBle::receiveExtendedCommand(unsigned char* buffer, int* bufferLen) {
    // The connection fills the chunk from byte 1 (byte 0 stands for the report
    // ID; the 0 it leaves in byte 1 asks a HID connection for feature report
    // 0). The next packet is asked for with the raw request 01 4A 00 and
    // awaited through the data-ready signal; a busy status is only waited out.
    static const auto askNext = [](Veyra& reader, iConnection* conn) -> int {
        auto& ble = static_cast<VeyraBle&>(reader);
        ble.clearDataReady();
        char nextPacket[3] = {static_cast<char>(REPORT_ID), 0x4A, 0x00};
        int rc = conn->send(nextPacket, 3, 1);
        if (rc == RC_OK) {
            ble.waitForCommand();
        }
        return rc;
    };
    static const ResponseLink ble = {1, BUSY_RETRIES, false, false, askNext};
    return collectResponse(buffer, bufferLen, ble);
}

}  // namespace quorin
