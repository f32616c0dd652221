// A virtual magnetic-stripe reader that speaks the plain command protocol on
// feature report 0: a command arrives as 00 | command | n | n data bytes,
// and the next GET_REPORT returns the answer result | n | n data bytes.
//
// Answers come from a CommandScript, which starts with the device-information
// queries (serial number, firmware, battery, capabilities); tests and tools
// add or replace answers. A command without an answer gets the result code
// set by setUnknownCommandResult (0 at first) and no data. Until the first
// command arrives, reads fall back to VirtualReader's scripted responses.
//
// Threads: the hooks run on the host's hidapi threads (one at a time, see
// VirtualReader); m_stateLock guards the answer and the command record, and the
// scripting functions may be called from any thread.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "virtualhid/CommandScript.h"
#include "virtualhid/VirtualReader.h"

namespace quorin_sim {

class PlainCommandReader : public VirtualReader {
public:
    using Bytes = CommandScript::Bytes;

    PlainCommandReader(uint16_t vendorId, uint16_t productId, std::optional<std::string> serial);

    // The answer to a plain command text (see CommandScript); false when the
    // text is not one.
    bool setAnswer(const std::string& command, int result, const Bytes& data);
    void setUnknownCommandResult(int result);
    // Sends the card-data report of a swipe of these clear tracks.
    void swipe(const std::string& track1, const std::string& track2, const std::string& track3);
    // The commands received, command byte first, in order.
    std::vector<Bytes> commands() const;
    void clearRecords() override;

    Report onGetFeature(uint8_t reportId) override;
    void onSetFeature(const Report& report) override;

private:
    CommandScript m_script;
    mutable std::mutex m_stateLock;
    std::optional<Report> m_answer;  // guarded by m_stateLock; the frame of the last command
    int m_unknownResult = 0;         // guarded by m_stateLock
    std::vector<Bytes> m_commands;   // guarded by m_stateLock
    unsigned int m_swipes = 0;       // guarded by m_stateLock
};

}  // namespace quorin_sim
