#include "extended/Veyra.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "common/ResultCode.h"
#include "common/stdafx.h"

namespace quorin {

namespace {

// Work areas of the command path, taken per call from the heap so that a
// command issued from a thread with a small stack cannot overflow it.
constexpr int COMPOSE_TEXT_AREA = 65544;  // text of an extended command
constexpr int PLAIN_WORK_AREA = 65536;    // bytes of a plain command text
constexpr int SEND_BUFFER_SIZE = 65536;   // composed packets
constexpr int CHUNK_HEADER_BYTES = 64;    // cleared after every read at least
constexpr int STATUS_READ_SIZE = 256;     // status read between packets
constexpr int DRAIN_READ_SIZE = 128;      // reads that discard a left-over response
constexpr int HANDSHAKE_ANSWER_SIZE = 1024;
constexpr int BUSY_RETRIES = 50;
constexpr int BUSY_PAUSE_MS = 100;
constexpr int HEX_WORK_AREA = 512;  // hex text of one response packet

int be16(const unsigned char* p) {
    return (p[0] << 8) | p[1];
}

void putBe16(unsigned char* p, int value) {
    p[0] = static_cast<unsigned char>((value >> 8) & 0xFF);
    p[1] = static_cast<unsigned char>(value & 0xFF);
}

}  // namespace

Veyra::Veyra() : Veyra(READ_CHUNK_SIZE) {}

Veyra::Veyra(size_t readChunkSize) : m_readChunks(readChunkSize) {
    // The base constructor already zeroed the card records; the delegate is
    // null and the result code 0 until set.
}

Veyra::~Veyra() {
    // close() destroys the connection first, which joins the receiving
    // thread, so no report can reach the notification state while it goes.
    close();
}

void Veyra::setSleepFunction(void (*fn)(int milliseconds)) {
    m_sleep = fn;
}

void Veyra::pause(int milliseconds) {
    if (m_sleep != nullptr) {
        m_sleep(milliseconds);
    } else {
        SLEEP(milliseconds);
    }
}

void Veyra::afterOpen() {
    unsigned char handshake[] = "4800";
    if (sendCommand(handshake, 4) == RC_OK && waitForCommand() == RC_OK) {
        std::vector<unsigned char> answer(HANDSHAKE_ANSWER_SIZE, 0);
        getResponse(answer.data(), HANDSHAKE_ANSWER_SIZE);
    }
}

bool Veyra::composeCommand(unsigned char* hexCmd, int /*hexCmdLen*/, unsigned char* buffer,
                           int* bufferLen) {
    // The plain frame of the reader object, over a larger work area.
    return composePlainFrame(hexCmd, PLAIN_WORK_AREA, buffer, bufferLen);
}

bool Veyra::composeExtendedCommand(unsigned char* hexCmd, int hexCmdLen, unsigned char* buffer,
                                   int* bufferLen) {
    try {
        if (hexCmd == nullptr || hexCmdLen < 0 || hexCmdLen >= COMPOSE_TEXT_AREA) {
            return false;
        }
        const char* source = reinterpret_cast<const char*>(hexCmd);
        // The text ends at hexCmdLen or at its first NUL; nothing past either
        // is read.
        const size_t chars = strnlen(source, static_cast<size_t>(hexCmdLen));
        // The text and its terminator (below COMPOSE_TEXT_AREA, checked above).
        std::vector<char> text(chars + 1, '\0');
        std::memcpy(text.data(), source, chars);
        char* colon = std::strchr(text.data(), ':');
        if (colon == nullptr || VEYRA_COMMAND_LENGTH_LIMITATION == 0) {
            return composeCommand(hexCmd, hexCmdLen, buffer, bufferLen);
        }
        *colon = '\0';
        const char* idText = text.data();
        const char* dataText = colon + 1;

        size_t dataChars = std::strlen(dataText);
        if (dataChars / 2 > static_cast<size_t>(MAX_COMMAND_DATA)) {
            return false;
        }
        // Sized to the data text, which holds at most dataChars / 2 bytes.
        std::vector<unsigned char> data(std::max<size_t>(dataChars / 2, 1));
        int dataLen = 0;
        if (dataChars > 0) {
            ConvertASCIIHexToByteArray(dataText, data.data(), &dataLen,
                                       static_cast<int>(data.size()));
        }
        // The id is exactly two bytes; a shorter one is completed with zeros.
        if (std::strlen(idText) > 4) {
            return false;
        }
        unsigned char id[2] = {0x00, 0x00};
        int idLen = 0;
        ConvertASCIIHexToByteArray(idText, id, &idLen, 2);

        const int chunk = getExtendedCommandLength() - HEADER_SIZE;
        if (chunk <= 0) {
            return false;
        }
        const int packets = dataLen == 0 ? 1 : (dataLen + chunk - 1) / chunk;
        const int total = packets * HEADER_SIZE + dataLen;
        if (bufferLen == nullptr) {
            return false;
        }
        if (*bufferLen < total) {
            *bufferLen = total;
            return false;
        }
        if (buffer == nullptr) {
            return false;
        }
        unsigned char* out = buffer;
        for (int i = 0; i < packets; ++i) {
            const int offset = chunk * i;
            const int k = std::min(chunk, dataLen - offset);
            out[0] = REPORT_ID;
            out[1] = EXTENDED_COMMAND;
            out[2] = static_cast<unsigned char>(k + 6);
            putBe16(out + 3, offset);
            out[5] = id[0];
            out[6] = id[1];
            putBe16(out + 7, dataLen);
            if (k > 0) {
                std::memcpy(out + HEADER_SIZE, data.data() + offset, static_cast<size_t>(k));
            }
            out += HEADER_SIZE + k;
        }
        *bufferLen = total;
        return true;
    } catch (...) {
        return false;
    }
}

int Veyra::sendCommand(unsigned char* command, int commandLength) {
    iConnection* conn = getConnection();
    if (conn == nullptr) {
        return RC_NOT_OPEN;
    }
    if (command == nullptr) {
        return RC_BAD_ARGUMENT;
    }
    // Room for the packets of a text of commandLength characters: at most
    // commandLength / 2 data bytes plus a header per packet, well inside
    // twice the text plus a margin. Composing checks the room it is given,
    // so a smaller area can only refuse a command, never overrun.
    const int room = commandLength >= 0 && commandLength < SEND_BUFFER_SIZE / 2 - 512
                         ? 2 * commandLength + 1024
                         : SEND_BUFFER_SIZE;
    std::vector<unsigned char> buffer(static_cast<size_t>(room), 0);
    buffer[0] = REPORT_ID;
    int length = room;
    if (!composeExtendedCommand(command, commandLength, buffer.data(), &length)) {
        return RC_BAD_ARGUMENT;
    }
    char* bytes = reinterpret_cast<char*>(buffer.data());
    if (VEYRA_COMMAND_LENGTH_LIMITATION == 0 ||
        static_cast<long long>(length) <=
            static_cast<long long>(VEYRA_COMMAND_LENGTH_LIMITATION) + 1) {
        return conn->send(bytes, length, 1);
    }
    // Too long for one write: 61-byte slices, so an extended command goes
    // out one packet per write, each paced by a status read. A packet the
    // reader refuses ends the command with the reader's refusal: the packets
    // after it would belong to a command the reader has dropped, and the
    // exchange would look successful. The wait for the answer after the last
    // packet is the caller's (waitForCommand); waiting here as well would
    // take a Bluetooth LE reader's data-ready signal meant for that wait.
    const int slices = (length + PACKET_SIZE - 1) / PACKET_SIZE;
    for (int i = 0; i < slices; ++i) {
        const int offset = i * PACKET_SIZE;
        const int n = std::min(PACKET_SIZE, length - offset);
        int rc = conn->send(bytes + offset, n, 1);
        if (rc != RC_OK) {
            return rc;
        }
        if (i + 1 < slices) {
            rc = waitForMore();
            if (rc != RC_OK) {
                return rc;
            }
        }
    }
    return RC_OK;
}

int Veyra::waitForCommand() {
    // Responses are polled by getResponse, not awaited.
    return RC_OK;
}

int Veyra::waitForMore() {
    iConnection* conn = getConnection();
    unsigned char status[STATUS_READ_SIZE] = {};
    status[0] = REPORT_ID;
    int length = STATUS_READ_SIZE;
    if (conn == nullptr || conn->receive(status, &length) != RC_OK) {
        pause(BUSY_PAUSE_MS);
        return RC_OK;
    }
    const unsigned char st = status[1];
    return (st == 0x00 || st == STATUS_EXTENDED_DATA || st == STATUS_BUSY) ? RC_OK
                                                                           : RC_TRANSFER_FAILED;
}

int Veyra::getResponse(unsigned char* buf, int BufferLength) {
    // As the reader object's: through the form that reports the length.
    return Strivo::getResponse(buf, BufferLength);
}

int Veyra::getResponse(unsigned char* buf, int* BufferLength) {
    try {
        if (buf == nullptr || BufferLength == nullptr || *BufferLength < 1) {
            return RC_BAD_ARGUMENT;
        }
        if (getConnection() == nullptr) {
            return RC_NOT_OPEN;
        }
        buf[0] = REPORT_ID;
        return receiveExtendedCommand(buf, BufferLength);
    } catch (...) {
        return RC_EXCEPTION;
    }
}

int Veyra::storeResponse(const unsigned char* data, int length, unsigned char* buffer,
                         int* bufferLen) {
    if (length < 0 || length > *bufferLen) {
        return RC_BAD_ARGUMENT;
    }
    if (length > 0) {
        std::memcpy(buffer, data, static_cast<size_t>(length));
    }
    *bufferLen = length;
    return RC_OK;
}

int Veyra::appendPacket(const unsigned char* packet, int readLength, unsigned char* collection,
                        int* collected, bool* last) {
    // Every bound is checked before a byte is copied: the data must lie in
    // what was read, inside the announced total and inside the collection.
    if (readLength < HEADER_SIZE) {
        return RC_TRANSFER_FAILED;
    }
    const int k = packet[2] - 6;
    if (k < 0 || HEADER_SIZE + k > readLength) {
        return RC_TRANSFER_FAILED;
    }
    const int offset = be16(packet + 3);
    const int total = be16(packet + 7);
    if (offset + k > total || *collected + HEADER_SIZE + k > COLLECTION_SIZE) {
        return RC_TRANSFER_FAILED;
    }
    std::memcpy(collection + *collected, packet, static_cast<size_t>(HEADER_SIZE + k));
    *collected += HEADER_SIZE + k;
    *last = offset + k == total;
    return RC_OK;
}

int Veyra::receiveExtendedCommand(unsigned char* buffer, int* bufferLen) {
    // Over USB the next packet is asked for with the plain command "4A" (its
    // outcome shows in the read that follows), a busy status is answered the
    // same way, and packets left by a failed reception are read away.
    static const auto askNext = [](Veyra& reader, iConnection*) -> int {
        unsigned char nextPacket[] = "4A";
        reader.sendCommand(nextPacket, 2);
        return RC_OK;
    };
    static const ResponseLink usb = {0, BUSY_RETRIES, true, true, askNext};
    return collectResponse(buffer, bufferLen, usb);
}

int Veyra::collectResponse(unsigned char* buffer, int* bufferLen, const ResponseLink& link) {
    try {
        if (buffer == nullptr || bufferLen == nullptr) {
            return RC_BAD_ARGUMENT;
        }
        iConnection* conn = getConnection();
        if (conn == nullptr) {
            return RC_NOT_OPEN;
        }
        // Every read starts from an all-zero chunk; after each, only the
        // bytes the connection reported writing are cleared again.
        ZeroedBufferPool::Lease lease = m_readChunks.take();
        unsigned char* chunk = lease.data();
        const int chunkSize = static_cast<int>(lease.size());
        const int capacity = chunkSize - link.readOffset;
        // Made at the first extended packet: a plain answer needs none.
        std::vector<unsigned char> collection;
        int status = RC_EXCEPTION;
        int collected = 0;
        int retries = link.busyRetries;
        bool more = true;
        bool readFailed = false;
        while (more) {
            lease.clear();
            chunk[0] = REPORT_ID;
            int length = capacity;
            int rc = conn->receive(chunk + link.readOffset, &length);
            const bool counted = rc == RC_OK && length >= 0 && length <= capacity;
            lease.touched(counted ? std::max(length + link.readOffset, CHUNK_HEADER_BYTES)
                                  : chunkSize);
            if (rc != RC_OK) {
                status = rc;
                readFailed = true;
                break;
            }
            if (!counted) {
                status = RC_TRANSFER_FAILED;
                break;
            }
            length += link.readOffset;
            const unsigned char st = chunk[1];
            if (st == STATUS_BUSY || st == STATUS_NOT_READY) {
                pause(BUSY_PAUSE_MS);
                if (--retries < 0) {
                    status = RC_TIMEOUT;
                    break;
                }
                if (!link.askWhenBusy) {
                    continue;
                }
            } else if (st == STATUS_EXTENDED_DATA) {
                bool last = false;
                if (collection.empty()) {
                    collection.resize(COLLECTION_SIZE);
                }
                rc = appendPacket(chunk, length, collection.data(), &collected, &last);
                if (rc != RC_OK) {
                    status = rc;
                    break;
                }
                more = !last;
            } else if (cutShort(chunk, length)) {
                // A plain response cut short of its own length.
                status = RC_TRANSFER_FAILED;
                readFailed = true;
                break;
            } else {
                // A plain response: returned as read.
                return storeResponse(chunk, length, buffer, bufferLen);
            }
            if (more) {
                rc = link.askNext(*this, conn);
                if (rc != RC_OK) {
                    status = rc;
                    readFailed = true;
                    break;
                }
            }
        }
        if (!more) {
            return storeResponse(collection.data(), collected, buffer, bufferLen);
        }
        if (readFailed || !link.drainOnFailure) {
            // The link itself failed (a serial read waits the whole command
            // time-out for nothing): another read would only wait once more.
            return status;
        }
        // The reader may still hold packets of this response: read them away
        // so the next command does not see them, but never without end.
        for (int i = 0; i < MAX_DRAIN_READS; ++i) {
            unsigned char discard[DRAIN_READ_SIZE] = {};
            discard[0] = REPORT_ID;
            int length = DRAIN_READ_SIZE;
            if (conn->receive(discard, &length) != RC_OK || discard[1] != STATUS_EXTENDED_DATA) {
                break;
            }
        }
        return status;
    } catch (...) {
        return RC_EXCEPTION;
    }
}

int Veyra::MakeHexStringFromResponse(unsigned char* buf, int BufferLength, char* out, int* outLen) {
    if (buf == nullptr || out == nullptr || outLen == nullptr || BufferLength < 2) {
        return RC_BAD_ARGUMENT;
    }
    resultCode.store(buf[1]);
    if (buf[1] != STATUS_EXTENDED_DATA) {
        return Strivo::MakeHexStringFromResponse(buf, BufferLength, out, outLen);
    }
    const int capacity = *outLen;
    auto refuse = [&](int code) {
        if (capacity > 0) {
            out[0] = '\0';
        }
        *outLen = 0;
        return code;
    };
    try {
        if (BufferLength < HEADER_SIZE) {
            return refuse(RC_TRANSFER_FAILED);
        }
        resultCode.store(be16(buf + 5));
        int total = -1;
        bool complete = false;
        int p = 0;
        while (p + 3 <= BufferLength) {
            const int size = (buf[p + 2] == 0 ? 256 : buf[p + 2]) + 3;
            if (p + size > BufferLength) {
                break;
            }
            if (size < HEADER_SIZE) {
                return refuse(RC_TRANSFER_FAILED);
            }
            const unsigned char* packet = buf + p;
            const int offset = be16(packet + 3);
            const int code = be16(packet + 5);
            const int packetTotal = be16(packet + 7);
            if (total < 0) {
                total = packetTotal;
                if (2 * total + 1 > capacity) {
                    return refuse(RC_BAD_ARGUMENT);
                }
                // Bytes that no packet covers read as zero, never as whatever
                // the caller's buffer held.
                std::memset(out, '0', static_cast<size_t>(2 * total));
            } else if (packetTotal != total) {
                return refuse(RC_TRANSFER_FAILED);
            }
            resultCode.store(code);
            const int k = size - HEADER_SIZE;
            if (offset + k > total) {
                return refuse(RC_TRANSFER_FAILED);
            }
            char hex[HEX_WORK_AREA];
            ByteArrayToHexStr(packet + HEADER_SIZE, k, hex, HEX_WORK_AREA);
            std::memcpy(out + 2 * offset, hex, static_cast<size_t>(2 * k));
            p += size;
            if (offset + k >= total) {
                complete = true;
                break;
            }
        }
        if (!complete) {
            // The packets end before their announced total: the response is
            // incomplete and is not handed out as if it were whole.
            return refuse(RC_TRANSFER_FAILED);
        }
        out[2 * total] = '\0';
        *outLen = 2 * total;
        m_readerCode.store(resultCode.load());
        return RC_OK;
    } catch (...) {
        return refuse(RC_EXCEPTION);
    }
}

void Veyra::onData(iConnection* /*connObject*/, unsigned char* pData, int dataLen) {
    if (pData == nullptr || dataLen < 1) {
        return;
    }
    if (pData[0] == 0x01) {
        try {
            getMSRResult(pData, dataLen);
        } catch (...) {
            reportError("Invalid input data!");
        }
    } else if (pData[0] == NOTIFICATION_PACKET) {
        try {
            addNotification(pData, dataLen);
        } catch (...) {
            discardNotification();
            reportError("Exception!");
        }
    }
}

void Veyra::VeyraReceiveData(iConnection* connObject, unsigned char* pData, int dataLen) {
    Veyra::onData(connObject, pData, dataLen);
}

void Veyra::addNotification(unsigned char* pData, int dataLen) {
    static const NotificationRules usb = {ChunkLengthForm::OneByteZeroIs256, false, false};
    reassemble(pData, dataLen, usb);
}

void Veyra::discardNotification() {
    notificationData.reset();
    notificationDataLength = 0;
    notificationReceived = 0;
    std::memset(notificationHeader, 0, sizeof(notificationHeader));
}

void Veyra::reportError(const char* text) {
    char message[64];
    std::snprintf(message, sizeof(message), "%s", text);
    setError(RC_TRANSFER_FAILED, message, nullptr);
}

void Veyra::reassemble(const unsigned char* pData, int dataLen, const NotificationRules& rules) {
    // Notification packet (big-endian fields):
    //   0    type 0x02 (0x03 on the Bluetooth LE and serial links)
    //   1-2  chunk length: byte 2 alone on USB (0 means 256), bytes 1-2 else
    //   3-4  offset of the chunk within the notification data
    //   5-6  notification id
    //   7-8  total data length
    //   9    the chunk
    // A packet too short to hold its header carries nothing usable.
    if (pData == nullptr || dataLen < HEADER_SIZE) {
        return;
    }
    const int chunk = rules.form == ChunkLengthForm::OneByteZeroIs256
                          ? (pData[2] == 0 ? 256 : pData[2])
                          : be16(pData + 1);
    const int offset = be16(pData + 3);
    const unsigned short id = static_cast<unsigned short>(be16(pData + 5));
    const int total = be16(pData + 7);
    const int inPacket = dataLen - HEADER_SIZE;

    // Bytes of the chunk to copy, or -1 when the chunk leaves the packet or
    // the notification: nothing is ever copied past either buffer.
    auto copyLength = [&]() -> int {
        if (offset + chunk > total) {
            return -1;
        }
        int n = chunk;
        if (n > inPacket) {
            if (!rules.clampToPacket) {
                return -1;
            }
            n = inPacket;
        }
        if (!notificationData || offset + n > notificationDataLength) {
            return -1;
        }
        return n;
    };
    auto refuse = [&](const char* text) {
        discardNotification();
        reportError(text);
    };
    auto complete = [&]() {
        withDelegate([&](Strivo_Delegate* d) {
            d->OnNotification(this, id, total > 0 ? notificationData.get() : nullptr, total);
        });
        std::memset(notificationHeader, 0, sizeof(notificationHeader));
        notificationData.reset();
        notificationDataLength = 0;
    };
    // Delivered only when every byte arrived: a chunk cut to what its packet
    // held leaves a hole, which is reported, never handed on as zeros.
    auto completeIfWhole = [&]() {
        if (notificationReceived == total) {
            complete();
        } else {
            refuse(INCOMPLETE_TEXT);
        }
    };

    const unsigned char state = notificationHeader[0];
    const bool sameHeader = std::memcmp(pData + 5, notificationHeader + 5, 4) == 0;
    // After an empty first chunk (where a link allows one) the data starts at
    // offset 0: that packet continues the notification.
    const bool afterEmptyStart = state == 2 && sameHeader && notificationReceived == 0;
    if (state != 0 && offset == 0 && !afterEmptyStart) {
        // A packet at offset 0 starts the next notification: the one being
        // collected lost its last packets, and only it is lost.
        refuse(INCOMPLETE_TEXT);
    } else if (state == 2) {
        if (!sameHeader) {
            refuse("Header is not match!");
            return;
        }
        std::memcpy(notificationHeader, pData, HEADER_SIZE);
        if (total == 0) {
            return;
        }
        if (chunk <= 0) {
            refuse("Invalid notification package data length!");
            return;
        }
        const int n = copyLength();
        if (n < 0) {
            refuse("Invalid notification package data length!");
            return;
        }
        // Chunks arrive in the order the reader sent them: one that does not
        // start where the bytes received end means a packet went missing (or
        // came twice), and the notification cannot be whole.
        if (offset != notificationReceived) {
            refuse(INCOMPLETE_TEXT);
            return;
        }
        std::memcpy(notificationData.get() + offset, pData + HEADER_SIZE, static_cast<size_t>(n));
        notificationReceived += n;
        if (offset + chunk == total) {
            completeIfWhole();
        }
        return;
    } else if (state != 0) {
        reportError("Invalid notification id!");
        discardNotification();
        return;
    }

    std::memcpy(notificationHeader, pData, HEADER_SIZE);
    notificationData.reset();
    notificationDataLength = 0;
    notificationReceived = 0;
    if (total == 0) {
        complete();
        return;
    }
    notificationData.reset(new unsigned char[total]());
    notificationData.get_deleter().size = static_cast<size_t>(total);
    notificationDataLength = total;
    if (offset != 0) {
        refuse("Invalid notification package data length!");
        return;
    }
    if (chunk == 0 && rules.emptyFirstChunkAllowed) {
        return;
    }
    const int n = copyLength();
    if (n < 0 || chunk <= 0) {
        refuse("Invalid notification package data length!");
        return;
    }
    std::memcpy(notificationData.get(), pData + HEADER_SIZE, static_cast<size_t>(n));
    notificationReceived = n;
    if (chunk == total) {
        completeIfWhole();
    }
}

}  // namespace quorin
