// The connection for readers on a serial port (a tty device).
//
// Opened from a "SERIAL://" path (options: SerialOptions), the port is put in
// raw mode at the requested speed and read by a receiving thread. All framing
// is the FORMAT filter's: commands pass through FilterOutput on the way out,
// received bytes through FilterInput, and decoded frames are dispatched by
// channel:
//   2  response       completes the pending response slot (receive)
//   3  notification   data callback: 0x02, then the frame's bytes
//   17 card data      data callback: 0xC0, then the frame's channel text as the
//                     filter gave it (hex digits from SLIP, the reader's own
//                     text from LEGACY), not decoded
// A run-length encoded frame is handed over exactly as its plain form: the
// header the filter keeps in front of decoded data (keptHeaderBytes) is
// dropped. Frames of other channels, and frames nobody waits for, are dropped.
// A frame the filter refused (refusedFrame: its length field disagrees with
// its data) fails the command it answers with 17, or, card data or a
// notification, is reported lost through the error handler.
//
// Threads: the caller's threads (open, send, receive, close) and one
// receiving thread owned by this object, which runs the filter and the data
// and connection-changed callbacks. A framing filter keeps stream state
// without a lock, so every connection runs a filter of its own (made from the
// FORMAT's kind by FilterRegistry::make): any number of readers may share a
// framing.
//
// Stop protocol: close() or the destructor sets m_stop and signals m_wakeFd;
// the receiving thread, which only ever blocks in poll() on the port and
// m_wakeFd, leaves its loop at once (the 0.1 s line pace bounds it anyway).
// close() joins it, and only then closes the port and wakes a waiting
// receive(). Callbacks must not destroy the connection; a close() from a
// callback only stops the thread, and the destructor finishes. Every wait
// that wakes on m_wakeFd reads it and looks at m_stop again: a wake-up that
// was no stop is used up, never a reason to poll again at once. In a forked
// child close() does nothing (see LibraryState).
//
// A link that hangs up or fails to read is reported once through the
// connection-changed callback (code 1); the thread then ends, and later send()
// and receive() calls return 5.
#pragma once

#include <termios.h>

#include <atomic>
#include <condition_variable>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/CardText.h"
#include "common/MutexLock.h"
#include "filters/FormatFilter.h"
#include "transport/RecordedLink.h"
#include "transport/SerialOptions.h"
#include "transport/iConnection.h"

namespace quorin {

class SerialConnection : public iConnection {
public:
    // Bytes taken from the port per read.
    static constexpr int READ_CHUNK = 2048;
    // Placeholder in front of a response, where a HID report has its report ID.
    static constexpr unsigned char RESPONSE_PREFIX = 0x73;
    static constexpr unsigned char NOTIFICATION_PREFIX = 0x02;
    static constexpr unsigned char CARD_DATA_PREFIX = 0xC0;
    // The error text of card data or a notification whose frame was refused.
    static constexpr const char* REFUSED_FRAME_TEXT =
        "Frame refused: its length disagrees with its data!";

    ~SerialConnection() override;

    // A new open connection, or null: not a "SERIAL://" path, an invalid
    // option value, no or unusable port, or a rate outside the speed table.
    static iConnection* open(const char* pathScheme);
    // "SERIAL://" + the port device the path names, links resolved (so
    // /dev/serial/by-id/... and the tty it points to are one device); the
    // port name as given when it cannot be resolved; "" for a path that
    // cannot be opened (no port, an invalid option).
    static std::string deviceOf(const char* pathScheme);
    // Serial ports are not enumerated.
    static int enumDevices(iConnectionEnumDevice fnFoundDevice);
    // The number after "COM", or 0. Nothing on Linux names ports so; a port
    // path given in that form would be read through it.
    static int getPortNumber(std::string portName);

    // Stops and joins the receiving thread, then closes the port.
    void close() override;
    // Wakes a receive() waiting for a response, which returns 5.
    void interrupt() override;
    // Writes bytes 1 .. dataLen-1 of pData (byte 0 is a report ID slot) through
    // the filter. 0 sent (or nothing to send), 5 closed or link lost, 6 command
    // refused by the filter, 255 write failed or incomplete. type is unused.
    int send(char* pData, int dataLen, int type) override;
    // Waits at most the command time-out for the response to the last command
    // (or, without one, for the next response frame). On entry *dataLen is the
    // capacity of pData. 0 with 0x73 then the response bytes; 1 time-out;
    // 5 closed, interrupted or link lost; 17 the response was refused by the
    // framing (its length disagrees with its data) or does not fit (*dataLen
    // then holds the size it needs, nothing is copied); 6 null arguments.
    int receive(unsigned char* pData, int* dataLen) override;

    const SerialOptions& options() const { return m_options; }

private:
    SerialConnection();

    // Opens and configures the port and starts the receiving thread; 0, or
    // 255 (cannot open or read attributes), 6 (rate), 17 (cannot apply).
    int _open();
    void ReceivingThread();
    // Runs one received chunk through the filter and dispatches its frames.
    void OnData(unsigned char* buffer, int dataLen);
    void dispatch(int channelId, const CardText& channelHexData);
    // A frame the filter refused: a response fails the command waiting for
    // it (17), card data or a notification is reported as lost.
    void refused(int channelId);
    // Fills the pending response slot, unless none waits or it is filled.
    void fillResponse(int status, const CardText& hex);
    void linkLost();
    bool writeAll(const CardBytes& bytes);
    // Waits up to ms milliseconds, or less when the connection is stopping.
    void pause(int ms);
    // Wakes every wait of this connection; takes a wake-up (see the stop
    // protocol above).
    void signalWake();
    void takeWake();
    bool onReceivingThread() const;

    // Pending response: one per command, filled by the receiving thread.
    struct ResponseSlot {
        bool filled = false;
        int status = 0;  // 0, or 17 for a response the framing refused
        std::string hex;
    };

    SerialOptions m_options;  // set by open() before the thread starts, then read-only
    // Port descriptor; -1 when closed. Written by _open() before the thread
    // starts and by close() after it ended; send() reads it under m_portLock.
    int hComm = -1;
    int m_wakeFd = -1;  // eventfd that wakes the receiving thread
    std::promise<bool> readingThreadStart;
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_lost{false};
    std::atomic<bool> m_interrupted{false};  // set by interrupt()
    // This connection's framing filter, of the FORMAT's kind; made by open()
    // before the thread starts, freed with the connection.
    std::unique_ptr<FormatFilter> m_filter;
    // Set by _open before the thread starts while recording, then read-only.
    std::shared_ptr<RecordedLink> m_recording;
    Mutex m_portLock;      // guards writes to hComm and its closing
    Mutex m_closeLock;     // serialises close()
    Mutex m_responseLock;  // guards m_pIncomingData
    std::condition_variable m_responseChanged;
    std::unique_ptr<ResponseSlot> m_pIncomingData GUARDED_BY(m_responseLock);
};

}  // namespace quorin
