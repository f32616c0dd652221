// A recording that libquorin wrote (QUORIN_RECORD; docs/RECORDING.md), read
// back for replay: the devices it saw, each with the sessions a host had on
// it (from an open to its close) and the events of each session.
//
// The text is untrusted: whatever cannot be read is left out and said in
// problems (with its line number); nothing in it can make the reader read or
// allocate without bound (lines, byte data and counts are limited).
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace quorin_sim {

class Recording {
public:
    using Bytes = std::vector<uint8_t>;

    static constexpr size_t MAX_PAYLOAD = 1 << 20;  // bytes in one event
    static constexpr size_t MAX_EVENTS = 1 << 20;   // events in one recording
    static constexpr size_t MAX_TEXT = 256u << 20;  // characters of a recording
    // Data bytes of all events together ("+N" zeros included): what a
    // replay holds in memory, whatever the text asks for.
    static constexpr size_t MAX_BYTES = 64u << 20;
    static constexpr size_t MAX_DEVICES = 64;  // readers of one recording

    struct Event {
        enum Kind {
            OPEN,
            FEATURE_OUT,  // bytes: the report, ID first; failed: the write failed
            FEATURE_IN,   // reportId; bytes: the report, ID first; failed: no report came
            INPUT,
            READ_FAILED,  // the reader was gone (unplugged)
            TX,
            TX_FAILED,
            RX,
            HANGUP,
            DROPPED,  // count: events the recorder lost here
            CLOSE,
        };
        Kind kind = OPEN;
        long long micros = 0;  // since the recording began
        Bytes bytes;
        int reportId = 0;
        bool failed = false;
        size_t count = 0;
        size_t line = 0;
        // What the host does (writes, reads, open, close) as opposed to
        // what the reader sends by itself.
        bool fromHost() const {
            return kind == OPEN || kind == FEATURE_OUT || kind == FEATURE_IN || kind == TX ||
                   kind == TX_FAILED || kind == CLOSE;
        }
    };

    struct Session {
        std::vector<Event> events;  // OPEN first; CLOSE last when the recording has it
    };

    struct Device {
        bool serial = false;
        // The fields of its first "open" line, texts unquoted ("vid" "2F4A").
        std::map<std::string, std::string> fields;
        std::vector<Session> sessions;

        std::string field(const std::string& name, const std::string& fallback = "") const;
        // A number field (hex for vid, pid and release, else decimal).
        long number(const std::string& name, long fallback) const;
        // The serial number; none when the device had no serial number string.
        std::optional<std::string> serialNumber() const;
        // How a person names it: "HID://<serial>" or the port.
        std::string label() const;
    };

    std::vector<Device> devices;
    std::vector<std::string> problems;
    bool cardDataKept = false;

    static Recording parse(const std::string& text);
    // False (and why) when the file cannot be read at all.
    static bool load(const std::string& file, Recording* out, std::string* error);

    // The bytes of a data field ("0148+59", "-"); nullopt when it is not one
    // or exceeds MAX_PAYLOAD.
    static std::optional<Bytes> parseData(const std::string& text);
    // The tokens of a line up to an unquoted "#": words and quoted texts
    // (unquoted, \" \\ \xHH undone). nullopt for an unterminated quote or a
    // bad escape.
    // quoted (if given) tells which tokens held a quoted text.
    static std::optional<std::vector<std::string>> tokens(const std::string& line,
                                                          std::vector<bool>* quoted = nullptr);
};

}  // namespace quorin_sim
