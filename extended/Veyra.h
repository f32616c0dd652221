// A reader that speaks the extended command protocol over USB HID.
//
// Commands: a command of the extended protocol carries a two-byte command id
// and up to 32,768 data bytes and travels cut into packets of at most 61
// bytes (report ID 0x01 first), paced by a status read between packets. A
// long response comes back in the same kind of packets, collected by asking
// the reader for each next packet ("4A"), and is turned into one hex text.
//
//   offset  size  command packet            response packet (status 0x0A)
//   0       1     report ID 0x01            report ID 0x01
//   1       1     0x49                      0x0A
//   2       1     k + 6                     k + 6
//   3       2     data offset, big-endian   data offset, big-endian
//   5       2     command id                result code, big-endian
//   7       2     total data length (BE)    total data length (BE)
//   9       k     data                      data
//
// Notifications: unsolicited packets (type 0x02) that each carry one chunk
// of a notification, in order; they are reassembled and handed to the
// delegate's OnNotification once every byte of the announced total has
// arrived. A notification with a packet missing is dropped and reported
// (setError), never delivered with a hole; a packet at offset 0 always
// starts the next notification, so one lost packet costs one notification.
//
// Threads. Commands run on the caller's thread (host or command worker), one
// at a time per reader. The connection's receiving thread runs onData and the
// reassembly; notificationHeader and notificationData are touched only by it
// while the reader is open, so they take no lock. The destructor stops the
// connection (joining its receiving thread) before this state goes.
#pragma once

#include <memory>

#include "common/CardDataAllocator.h"
#include "common/ZeroedBufferPool.h"
#include "reader/Strivo.h"

namespace quorin {

class Veyra : public Strivo {
public:
    Veyra();
    ~Veyra() override;

    // ---- overrides of the reader object
    // Sends the opening handshake "4800" and reads its answer; the outcome is
    // not used and a failure leaves the reader open.
    void afterOpen() override;
    // Plain frame of a hex text: buffer[1] command byte, buffer[2] data
    // length, data from buffer[3]; buffer[0] is left as the caller set it.
    // *bufferLen is the capacity on entry and the frame length on return.
    bool composeCommand(unsigned char* hexCmd, int hexCmdLen, unsigned char* buffer,
                        int* bufferLen) override;
    // Composes a plain ("4800") or extended ("030b:0102") text and writes it:
    // in one piece when it fits the length limit, else as 61-byte slices
    // paced by waitForMore. 0, 6 when the text cannot be composed, 5 without
    // a connection, the connection's write error, or 17 when the reader
    // refused a packet (no further packet is written). The caller then waits
    // for the answer with waitForCommand.
    int sendCommand(unsigned char* command, int commandLength) override;
    int waitForCommand() override;
    int getResponse(unsigned char* buf, int BufferLength) override;
    // *BufferLength: capacity on entry, bytes stored on return.
    int getResponse(unsigned char* buf, int* BufferLength) override;
    void onData(iConnection* connObject, unsigned char* pData, int dataLen) override;
    // Collected extended response packets -> hex text of 2 x total characters
    // placed by each packet's offset (0, 17 for packets that disagree or
    // leave their total, 6 when out cannot hold the text). Any other status
    // byte is decoded as a plain response frame.
    int MakeHexStringFromResponse(unsigned char* buf, int BufferLength, char* out,
                                  int* outLen) override;

    // ---- operations of the extended protocol
    // Packets of the text back to back into buffer; *bufferLen is the
    // capacity on entry (the needed length is stored when it is too small)
    // and the total on return. A text without a colon is framed plainly.
    virtual bool composeExtendedCommand(unsigned char* hexCmd, int hexCmdLen, unsigned char* buffer,
                                        int* bufferLen);
    // Reads one response, collecting extended packets until the announced
    // total has arrived. *bufferLen is the capacity on entry and the bytes
    // stored on return. 0, the connection's read error, 1 when the reader
    // stayed busy, 17 for a packet that breaks its bounds, 6 when the
    // response does not fit the caller's buffer, 255 on an exception.
    virtual int receiveExtendedCommand(unsigned char* buffer, int* bufferLen);
    // Status read between two command packets: 0, or 17 when the reader
    // answered with an error status.
    virtual int waitForMore();
    // Takes one notification packet (receiving thread).
    virtual void addNotification(unsigned char* pData, int dataLen);
    // The USB sorting of incoming reports, whatever the class of the object.
    virtual void VeyraReceiveData(iConnection* connObject, unsigned char* pData, int dataLen);

    // Packet size, report ID included; for a caller sizing packets from the
    // reader (the command path uses PACKET_SIZE itself).
    int getExtendedCommandLength() const { return PACKET_SIZE; }

    // Replaces the millisecond pause used between busy answers and before
    // the handshake of some models; for simulations and tests. Null restores
    // the real pause.
    void setSleepFunction(void (*fn)(int milliseconds));

    static constexpr unsigned char REPORT_ID = 0x01;
    static constexpr int PACKET_SIZE = 61;
    static constexpr int HEADER_SIZE = 9;
    static constexpr unsigned char EXTENDED_COMMAND = 0x49;
    static constexpr unsigned char STATUS_EXTENDED_DATA = 0x0A;
    static constexpr unsigned char STATUS_BUSY = 0x0B;
    static constexpr unsigned char STATUS_NOT_READY = 0x0C;
    static constexpr unsigned char NOTIFICATION_PACKET = 0x02;
    static constexpr unsigned char NOTIFICATION_PACKET_ALT = 0x03;
    // Largest command data and largest collected response, in bytes.
    static constexpr int MAX_COMMAND_DATA = 32768;
    static constexpr int COLLECTION_SIZE = 32768;
    // Bytes one response read may bring.
    static constexpr int READ_CHUNK_SIZE = 32768;
    // Reports read and discarded at most after a failed reception.
    static constexpr int MAX_DRAIN_READS = 64;
    // The error text of a notification dropped because a packet of it never
    // arrived (or came out of place, or cut short).
    static constexpr const char* INCOMPLETE_TEXT = "Notification incomplete: dropped!";

protected:
    // A link whose response reads may bring up to readChunkSize bytes.
    explicit Veyra(size_t readChunkSize);

    // How a link reads the chunk length of a notification packet and how
    // much of the packet it trusts. The USB form is the default.
    enum class ChunkLengthForm { OneByteZeroIs256, TwoBytes };
    struct NotificationRules {
        ChunkLengthForm form;
        bool emptyFirstChunkAllowed;  // a first packet with chunk length 0
        bool clampToPacket;           // copy no more than the packet holds
    };
    // The reassembly shared by all links.
    void reassemble(const unsigned char* pData, int dataLen, const NotificationRules& rules);
    // Releases the notification being collected and returns to idle.
    void discardNotification();
    // setError with a fixed text (code 17).
    void reportError(const char* text);

    void pause(int milliseconds);
    // Stores the collected packets, or a plain report, into the caller's
    // buffer; 6 when it does not fit.
    static int storeResponse(const unsigned char* data, int length, unsigned char* buffer,
                             int* bufferLen);
    // Checks a 0x0A packet of readLength bytes and appends it to the
    // collection; 17 when it breaks its bounds. Sets last when its data ends
    // at the announced total.
    static int appendPacket(const unsigned char* packet, int readLength, unsigned char* collection,
                            int* collected, bool* last);

    // How a link reads the packets of a response and asks for the next one;
    // each receiveExtendedCommand collects through collectResponse with its
    // own.
    struct ResponseLink {
        // Where in the read chunk the connection writes a packet: 0, or 1
        // when the link leaves byte 0 for the report ID.
        int readOffset;
        // Busy or not-ready statuses waited out before answering 1.
        int busyRetries;
        // A busy status is also answered with a next-packet request.
        bool askWhenBusy;
        // After a failure other than a failed read, packets the reader still
        // holds are read away (at most MAX_DRAIN_READS).
        bool drainOnFailure;
        // Asks the reader for the next packet; anything but 0 ends the
        // response with that status.
        int (*askNext)(Veyra& reader, iConnection* conn);
    };
    // Reads one response as receiveExtendedCommand describes it, over link,
    // into a chunk of the size given at construction.
    int collectResponse(unsigned char* buffer, int* bufferLen, const ResponseLink& link);

    // Largest composed command, report ID not counted, written in one piece;
    // 0 switches the extended protocol off.
    unsigned int VEYRA_COMMAND_LENGTH_LIMITATION = 60;
    // Header of the notification being collected; byte 0 is the state
    // (0 idle, 2 collecting). Receiving thread only.
    unsigned char notificationHeader[HEADER_SIZE] = {};
    // Data of the notification being collected, and its allocated length
    // (EMV data: wiped when let go). Receiving thread only.
    std::unique_ptr<unsigned char[], WipingArrayDelete> notificationData;
    int notificationDataLength = 0;
    // Bytes of the notification being collected received so far, in order.
    // Receiving thread only.
    int notificationReceived = 0;

private:
    void (*m_sleep)(int) = nullptr;
    // The read chunks of receiveExtendedCommand.
    ZeroedBufferPool m_readChunks;
};

}  // namespace quorin
