// A serial card reader played on the master side of a real pseudo-terminal.
//
// The library opens the slave side exactly as it opens a serial port
// ("SERIAL://PORT=<slave path>,..."), so its whole termios and framing path
// runs for real. The reader speaks one of the line framings:
//
//   SLIP      C0 | type | len hi | len lo | data | C0, with C0 -> DB DC and
//             DB -> DB DD inside; types 0/1 card data (plain / run-length),
//             2/3 notification (plain / run-length), 4 response, 5 command
//   LEGACY    ASCII lines ended by CR: commands and responses as upper-case
//             hex text, card data as the reader's own text
//   TIDELINK  commands as raw bytes ended by CR; reader lines as hex text
//             ended by CR, first byte 02 notification, 04 response
//
// A background thread reads the commands the host writes, records them and
// answers those that have a scripted reply (or that the responder answers).
// Tests and tools push notifications, card data, garbage and frames cut into
// pieces from any thread; every write goes out whole, never interleaved with
// another. No test framework is involved, so the class can serve a
// stand-alone simulator as well.
//
// The emulator keeps one descriptor of the slave open for its whole life, so
// the master stays usable while no connection has the port open; hangUp()
// closes both sides, which the connection sees as a lost link.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace quorin_sim {

class PtyReader {
public:
    enum class Framing { SLIP, LEGACY, TIDELINK };
    using Bytes = std::vector<uint8_t>;
    // Called on the emulator thread for each command without a scripted
    // reply; returns true and fills response to answer it.
    using Responder = std::function<bool(const Bytes& command, Bytes* response)>;

    explicit PtyReader(Framing framing);
    ~PtyReader();
    PtyReader(const PtyReader&) = delete;
    PtyReader& operator=(const PtyReader&) = delete;

    // False when the pseudo-terminal could not be set up; error() says why.
    bool ok() const { return m_ok; }
    const std::string& error() const { return m_error; }
    Framing framing() const { return m_framing; }
    const std::string& slavePath() const { return m_slavePath; }
    // "SERIAL://PORT=<slave>,FORMAT=<framing>" followed by ",extra" if given.
    std::string serialPath(const std::string& extraOptions = std::string()) const;

    // Scripted replies: a command equal to `command` is answered by
    // `response` (the response payload, framed by responseFrame()).
    void addResponse(const Bytes& command, const Bytes& response);
    void setResponder(Responder responder);
    // The commands received so far, decoded from their framing.
    std::vector<Bytes> commands();
    // True when at least n commands arrived within timeoutMs.
    bool waitForCommands(size_t n, int timeoutMs);

    // Frames in this reader's framing. A framing without such a message
    // (card data on TIDELINK) gives an empty frame.
    Bytes responseFrame(const Bytes& payload) const;
    Bytes notificationFrame(const Bytes& data, bool runLength = false) const;
    Bytes cardDataFrame(const Bytes& data, bool runLength = false) const;

    // Writes the bytes as one piece; false when the line did not take them
    // within timeoutMs (nobody reads the slave) or the pty is gone.
    bool writeRaw(const Bytes& bytes, int timeoutMs = 2000);
    // Writes the bytes as separate pieces of at most pieceSize bytes.
    bool writeInPieces(const Bytes& bytes, size_t pieceSize, int timeoutMs = 2000);
    bool sendResponse(const Bytes& payload) { return writeRaw(responseFrame(payload)); }
    bool sendNotification(const Bytes& data, bool runLength = false);
    bool sendCardData(const Bytes& data, bool runLength = false);

    // Closes the master and the held slave: the line hangs up.
    void hangUp();

    // Wire helpers.
    // One whole notification as the serial link carries it, without the
    // type byte the framing adds: chunk length, offset 0, message id, total
    // (each two bytes, big-endian), then the data.
    static Bytes notificationPacket(uint16_t id, const Bytes& data);
    static Bytes slipFrame(uint8_t type, const Bytes& payloadData, int lengthField = -1);
    static Bytes slipUnstuff(const Bytes& stuffed);
    // Run-length encoding: runs of two or more equal bytes become b b count.
    static Bytes rleEncode(const Bytes& plain);
    static std::string hex(const Bytes& bytes);
    static Bytes unhex(const std::string& text);

private:
    void run();
    void parseCommands();
    void handleCommand(const Bytes& command);
    bool writeLocked(const Bytes& bytes, int timeoutMs);
    void stopThread();

    const Framing m_framing;
    bool m_ok = false;
    std::string m_error;
    std::string m_slavePath;
    int m_master = -1;  // closed only after the thread has ended
    int m_slave = -1;   // held so the master never sees "no slave open"
    int m_wakeFd = -1;  // wakes the emulator thread for stopping

    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    Bytes m_inbound;  // emulator thread only: bytes of incomplete commands

    std::mutex m_writeLock;  // serialises writes to m_master (and its closing)

    std::mutex m_lock;  // guards the script, the responder and m_commands
    std::condition_variable m_commandArrived;
    std::map<Bytes, Bytes> m_script;
    Responder m_responder;
    std::vector<Bytes> m_commands;
};

}  // namespace quorin_sim
