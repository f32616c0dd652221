// How a virtual reader answers its commands: a table from command text to
// result code and data, shared by the reader models.
//
// Keys are command texts in upper-case hex: a plain command as its command
// byte and data ("0003", "45"), an extended command as its two-byte id, a
// colon and its data ("0306:010000"). A command is answered by the entry for
// its exact text, else by the entry for its command byte ("45") or id
// ("0306:") alone. Every function is thread-safe (m_lock guards the table).
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace quorin_sim {

class CommandScript {
public:
    using Bytes = std::vector<uint8_t>;
    struct Answer {
        int result = 0;
        Bytes data;
    };

    // Sets the answer of a command text (either case). False when the text
    // is not a command text.
    bool set(const std::string& command, const Answer& answer);
    // The answer of a plain command (command byte, data).
    std::optional<Answer> findPlain(const Bytes& command) const;
    // The answer of an extended command.
    std::optional<Answer> findExtended(uint16_t commandId, const Bytes& data) const;

    // Answers to the device-information queries of a reader with this serial
    // number: "0003" serial number (text), "0000" firmware and part number,
    // "45" battery level (90 %), "15" magnetic-stripe encryption capability,
    // "0036" second-generation encryption capability, "0005" track capability.
    void addDeviceInformation(const std::string& serialNumber);

    // The keys of a plain command ("0003") and of an extended one ("0306:0100").
    static std::string plainKey(const Bytes& command);
    static std::string extendedKey(uint16_t commandId, const Bytes& data);
    // Upper-cases a command text and checks its form; nullopt when unusable.
    static std::optional<std::string> normalise(const std::string& command);

private:
    std::optional<Answer> find(const std::string& exact, const std::string& shortKey) const;

    mutable std::mutex m_lock;
    std::map<std::string, Answer> m_answers;  // guarded by m_lock
};

}  // namespace quorin_sim
