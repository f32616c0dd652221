// A virtual EMV reader that speaks the extended command protocol on feature
// report 1, sends notifications and card data as input reports, and plays a
// scripted EMV transaction.
//
// Commands (SET_REPORT, report 1):
//   01 49 (k+6) off(2) id(2) total(2) data(k)   one packet of an extended
//                                               command; packets are put
//                                               together by their offsets
//   01 4A 00                                    next-packet request
//   01 cmd n data(n)                            a plain command
// Reads (GET_REPORT, report 1), padded to 61 bytes:
//   nothing to answer       01 00 00 (idle, also the status between packets)
//   busy (setBusy)          01 0B 00 or 01 0C 00, before a pending response
//   extended response       01 0A (k+6) off(2) result(2) total(2) data(k),
//                           k <= 52; the same packet is read until a
//                           next-packet request moves to the next one
//   plain response          01 result n data(n), once
// Notifications (input reports): 02 00 c off(2) id(2) total(2) chunk(c), one
// report per chunk of at most chunkSize bytes (55 by default, so a report is
// 64 bytes; c = 0 stands for 256). Card data: the card-data report with byte
// 0 set to 01.
//
// Answers come from a CommandScript (device-information queries built in);
// commands without one are answered with result 0 and no data.
//
// The transaction: StartTransaction (0x0300) answered with result 0 sends
// status (0x300), a display message (0x301) and a user-selection request
// (0x302), then waits. SetUserSelectionResult (0x0302) with status 0 sends
// the ARQC (0x303) and waits; with another status the transaction ends
// (result "cancelled"). SetAcquirerResponse (0x0303) sends the result
// (0x304): approved when the response carries the authorisation response
// code "00" (8A 02 30 30), else declined. CancelTransaction (0x0304) ends a
// running transaction with the result "cancelled". Notifications are pushed
// synchronously by the hook that received the completing command packet,
// after its response is ready, so their order is fixed and no thread is
// involved.
//
// Threads and locks: the hooks run on the host's hidapi threads, one at a
// time (VirtualReader); the scripting functions may be called from any
// thread. m_stateLock guards the protocol and transaction state below;
// m_pushLock keeps the packets of one notification together when several
// threads push. Order: VirtualReader's hook lock, m_pushLock, m_stateLock,
// VirtualReader's lock; m_stateLock is never held while pushing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "virtualhid/CommandScript.h"
#include "virtualhid/VirtualReader.h"

namespace quorin_sim {

class ExtendedReader : public VirtualReader {
public:
    using Bytes = CommandScript::Bytes;

    enum class TransactionState { IDLE, WAITING_FOR_SELECTION, WAITING_FOR_ACQUIRER };

    // A command as the reader received it: an extended command's id and
    // data, or a plain command's byte (in id) and data.
    struct Command {
        bool extended;
        uint16_t id;
        Bytes data;
    };

    static constexpr uint8_t REPORT_ID = 0x01;
    static constexpr size_t PACKET_SIZE = 61;
    static constexpr size_t HEADER_SIZE = 9;
    static constexpr size_t PACKET_DATA = PACKET_SIZE - HEADER_SIZE;
    static constexpr uint8_t EXTENDED_COMMAND = 0x49;
    static constexpr uint8_t NEXT_PACKET = 0x4A;
    static constexpr uint8_t STATUS_EXTENDED_DATA = 0x0A;
    static constexpr uint8_t STATUS_BUSY = 0x0B;
    static constexpr uint8_t NOTIFICATION_PACKET = 0x02;
    static constexpr uint8_t CARD_DATA = 0x01;
    static constexpr size_t DEFAULT_CHUNK_SIZE = 55;
    static constexpr size_t MAX_TOTAL = 0xFFFF;

    // Command ids of the transaction and ids of its notifications.
    static constexpr uint16_t START_TRANSACTION = 0x0300;
    static constexpr uint16_t SET_USER_SELECTION = 0x0302;
    static constexpr uint16_t SET_ACQUIRER_RESPONSE = 0x0303;
    static constexpr uint16_t CANCEL_TRANSACTION = 0x0304;
    static constexpr uint16_t TRANSACTION_STATUS = 0x0300;
    static constexpr uint16_t DISPLAY_MESSAGE = 0x0301;
    static constexpr uint16_t USER_SELECTION_REQUEST = 0x0302;
    static constexpr uint16_t ARQC = 0x0303;
    static constexpr uint16_t TRANSACTION_RESULT = 0x0304;
    // First byte of the value of tag DFDF1A in the result notification.
    static constexpr uint8_t RESULT_APPROVED = 0x00;
    static constexpr uint8_t RESULT_DECLINED = 0x01;
    static constexpr uint8_t RESULT_CANCELLED = 0x02;

    ExtendedReader(uint16_t vendorId, uint16_t productId, std::optional<std::string> serial);

    // ---- scripting (any thread)
    // The answer to a command text ("45", "0306:", "0306:010000"; see
    // CommandScript). Data beyond 65,535 bytes is cut there. False when the
    // text is not a command text.
    bool setAnswer(const std::string& command, int result, const Bytes& data);
    // The next `count` reads that would return a response return the busy
    // status (0x0B or 0x0C) instead.
    void setBusy(int count, uint8_t status = STATUS_BUSY);
    // The next command packet whose data offset is `offset` is refused, and
    // the status read after it answers `status` once (a reader that rejects
    // a packet of a long command).
    void refusePacketAt(size_t offset, uint8_t status);
    // Chunk size of notification packets, 1..256.
    void setNotificationChunkSize(size_t size);
    // Sends a notification, cut into packets (at most 65,535 data bytes).
    void pushNotification(uint16_t id, const Bytes& data);
    // Sends the card-data report of a swipe of these clear tracks.
    void swipe(const std::string& track1, const std::string& track2, const std::string& track3);

    // ---- observation (any thread)
    std::vector<Command> commands() const;
    void clearRecords() override;
    TransactionState transactionState() const;
    int busyAnswers() const;
    int nextPacketRequests() const;
    // Command packets refused: out of order, outside their total or their
    // report, or of another command than the one being put together.
    int refusedPackets() const;

    // ---- wire builders
    static std::vector<Report> responsePackets(int result, const Bytes& data);
    static std::vector<Report> notificationPackets(uint16_t id, const Bytes& data,
                                                   size_t chunkSize = DEFAULT_CHUNK_SIZE);

    Report onGetFeature(uint8_t reportId) override;
    void onSetFeature(const Report& report) override;
    // Numbered reports in two collections of page 0xFF00: usage 1 with report
    // 1 (card data in, commands and responses as features), usage 2 with
    // report 2 (notifications in). hidraw lists such a node twice.
    Report reportDescriptor() const override;

private:
    struct Notification {
        uint16_t id;
        Bytes data;
    };

    // Takes one command packet; a completed command is handled. Called with
    // m_stateLock held; notifications to send are added to `out`.
    void takeExtendedPacket(const Report& report, std::vector<Notification>& out);
    void handleCommand(const Command& command, std::vector<Notification>& out);
    void runTransaction(const Command& command, std::vector<Notification>& out);
    Bytes arqcData() const;
    Bytes resultData(uint8_t outcome) const;

    CommandScript m_script;
    std::mutex m_pushLock;  // held while the packets of one notification are pushed

    mutable std::mutex m_stateLock;
    // The command being put together from its packets (guarded by m_stateLock).
    bool m_assembling = false;
    uint16_t m_assemblyId = 0;
    size_t m_assemblyTotal = 0;
    Bytes m_assembly;
    // Response packets not yet moved past; m_delivered: the front one has
    // been read (guarded by m_stateLock).
    std::deque<Report> m_responses;
    bool m_delivered = false;
    int m_busy = 0;
    std::optional<size_t> m_refuseOffset;  // refusePacketAt, until it happens
    uint8_t m_refusalStatus = 0;
    std::optional<uint8_t> m_pendingStatus;  // answered by the next status read
    uint8_t m_busyStatus = STATUS_BUSY;
    size_t m_chunkSize = DEFAULT_CHUNK_SIZE;
    TransactionState m_state = TransactionState::IDLE;
    Bytes m_startData;  // data of the running StartTransaction
    std::vector<Command> m_commands;
    int m_busyAnswers = 0;
    int m_nextPacketRequests = 0;
    int m_refusedPackets = 0;
    unsigned int m_swipes = 0;
};

}  // namespace quorin_sim
