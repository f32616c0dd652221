// One reader opened through the Ex generation of the API, closed when the
// object goes.
//
// The tool addresses every reader by its own handle. The first-generation
// functions (GetFirmware, StartTransaction, ...) work on "the" reader, which
// the library picks among the attached ones by itself, so they could not
// honour --device with several readers attached.
//
// The reader's connection changes are followed from the open on: the
// library's connection callback records a disconnection here (so a command
// that failed can be told apart from a reader that went away) and hands
// each change on to the EventQueue (watch, emv). The callback's state lives
// until this object goes, which is after CloseDeviceEx returned: no
// callback runs after that.
#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace quorin::cli {

// The attached USB readers, as the library lists them.
std::vector<std::string> attachedReaders();

// One command's outcome, as the library reports it.
struct Reply {
    std::string data;       // response data, hex (upper case)
    int result = 0;         // GetResultCodeEx: the reader's code when it answered
    int readerCode = -1;    // the reader's own result code; -1: it did not answer
    bool extended = false;  // an extended command (CCCC:DATA): 16-bit codes

    bool answered() const { return readerCode >= 0; }
    // The library's outcome: 0 when the reader answered (whatever its code),
    // else the library's own result code (1, 5, 6, 17, 255).
    int outcome() const { return answered() ? 0 : result; }
    bool ok() const { return readerCode == 0; }
    // "0x05" or, for extended commands and codes beyond a byte, "0x0105".
    std::string readerCodeText() const;
    // "result 17 (device transfer failed...)" or "reader result 0x05".
    std::string describe() const;
};

class ReaderHandle {
public:
    // Opens the reader at path; "" opens the first attached USB reader.
    // Throws CliError with a one-line reason when that is not possible.
    explicit ReaderHandle(const std::string& path);
    ~ReaderHandle();
    ReaderHandle(const ReaderHandle&) = delete;
    ReaderHandle& operator=(const ReaderHandle&) = delete;

    unsigned long handle() const { return m_handle; }
    const std::string& path() const { return m_path; }
    // The USB product ID; 0 for a reader on a serial port.
    int productId() const { return m_productId; }
    bool isSerial() const;
    // true when the reader can run EMV transactions: an extended-protocol
    // USB model, or a serial reader whose framing carries notifications.
    bool runsEmv() const;
    // Closes the reader; once this returns no callback of it runs or starts.
    void close();

    // Sends one command text (withLength: in the with-length form). Never
    // throws; see lost() for what a failure means.
    Reply exchange(const std::string& text, bool withLength = false) const;
    // exchange(), and a CliError with EXIT_DISCONNECTED when the command
    // failed because the reader went away.
    Reply command(const std::string& text, bool withLength = false) const;
    // true when the reply failed because the reader is gone: the library
    // said so (5), or it failed otherwise and the disconnection is reported
    // within a short bound (an unplug fails the transfer before the
    // receiving thread has told of it).
    bool lost(const Reply& reply) const;
    // true once the library reported the reader disconnected.
    bool disconnected() const;
    // The error a command throws for a reader that went away.
    std::string lostMessage() const;

    // State shared with the library's connection callback.
    struct Link {
        std::mutex lock;
        std::condition_variable changed;
        bool disconnected = false;  // guarded by lock
    };

private:
    unsigned long m_handle = 0;
    std::string m_path;
    int m_productId = 0;
    std::unique_ptr<Link> m_link;
};

}  // namespace quorin::cli
