// An EMV card reader on a serial port, played on a pseudo-terminal.
//
// The reader's behaviour is that of the virtual USB bus's "emv" reader model
// (command answers, device information, the scripted EMV transaction): this
// class plugs such a reader on the bus of this process and bridges it to a
// PtyReader. Commands that the host writes to the port are handed to the
// USB reader as feature reports and its answer goes back as the response
// frame; the notifications the USB reader sends as input reports go out as
// notification frames. Swipes are sent as card-data frames of a reader
// without a device-table row, which is how a serial reader reports them.
//
// Threads: PtyReader's emulator thread runs the command bridge; one thread of
// this object forwards notifications. Stop: stop() sets m_stop, joins the
// forwarder (it wakes at least every 100 ms), destroys the PtyReader (which
// joins its thread), then closes the USB handle and unplugs the reader.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "PtyReader.h"

struct hid_device_;

namespace quorin_sim {

class SerialSimulator {
public:
    SerialSimulator(PtyReader::Framing framing, std::string serialNumber);
    ~SerialSimulator();
    SerialSimulator(const SerialSimulator&) = delete;
    SerialSimulator& operator=(const SerialSimulator&) = delete;

    // Sets everything up; false (and why in *error) when that fails.
    bool start(std::string* error);
    void stop();

    // The path a host opens: "SERIAL://PORT=<pty>,FORMAT=<framing>".
    std::string path() const;
    // Swipes the sample test card; false when the framing has no card data
    // or the line did not take it.
    bool swipe();
    // Hangs the line up, as an unplugged reader would.
    void hangUp();
    // Commands the host has sent so far.
    size_t commandCount();

private:
    bool bridgeCommand(const PtyReader::Bytes& command, PtyReader::Bytes* response);
    void forwardNotifications();

    const PtyReader::Framing m_framing;
    const std::string m_serialNumber;
    std::unique_ptr<PtyReader> m_pty;
    hid_device_* m_device = nullptr;
    int m_busId = -1;
    std::thread m_forwarder;
    std::atomic<bool> m_stop{false};
    std::mutex m_swipeLock;  // guards m_swipes
    unsigned int m_swipes = 0;
};

}  // namespace quorin_sim
