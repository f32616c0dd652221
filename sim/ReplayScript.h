// How a recorded device behaves in a replay: one device of a Recording,
// its sessions played one per host open.
//
//  - A write of the host (a feature report, serial bytes) is matched with
//    the first write of the session with the same bytes not matched yet;
//    the reads that followed it in the recording answer the host's next
//    reads, in order.
//  - What the reader sent by itself (input reports, serial chunks, an
//    unplug or hang-up) is released as recorded relative to the host's
//    write (or open) or the reader's own event before it, whichever came
//    later: time gaps divided by speed, or one per step() in step mode.
//  - What the recording cannot answer (a write it does not hold, a read
//    after the recorded ones, an open more than recorded) is reported
//    through the report function, never made up; events a host did not
//    give the occasion to send are reported at its close.
//
// Thread-safe: the host's calls come from the bus or pty threads, the
// player asks for due events; wake() is called (without the lock) whenever
// an event may have become due sooner.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Recording.h"

namespace quorin_sim {

class ReplayScript {
public:
    using Clock = std::chrono::steady_clock;
    using Bytes = Recording::Bytes;
    using Report = std::function<void(const std::string&)>;

    // The longest pause between two recorded events a replay waits out
    // (about 11.6 days).
    static constexpr long long MAX_PAUSE_MICROS = 1000000000000LL;

    struct Options {
        double speed = 1.0;
        bool step = false;
    };

    ReplayScript(const Recording::Device& device, Options options, Report report);
    void setWake(std::function<void()> wake);

    const Recording::Device& device() const { return m_device; }

    // ---- the host
    void opened();
    void closed();
    enum class Write { TAKEN, FAILED, UNKNOWN };
    Write wrote(const Bytes& bytes);
    // The recorded writes of the session that no host write took yet, in
    // order (a serial host's bytes are cut into them).
    std::vector<Bytes> pendingWrites() const;
    // The answer to a feature read; nullopt: none (the transfer fails).
    std::optional<Bytes> read(uint8_t reportId);

    // ---- the reader's own events
    // The next event due by now; otherwise nullopt with *next set to when
    // one will be (Clock::time_point::max() while it waits for the host or
    // a step).
    std::optional<Recording::Event> takeDue(Clock::time_point now, Clock::time_point* next);
    void step();
    // What happened, for the end of a replay.
    std::string summary() const;

private:
    bool inSession() const;
    const std::vector<Recording::Event>& events() const;
    void findNextOwn();
    void say(const std::string& text);
    // What the host is told once m_lock is released: the reports gathered
    // under it, then the wake-up (if any) of whoever plays the reader.
    void deliver(const std::vector<std::string>& reports, const std::function<void()>& wake) const;

    const Recording::Device m_device;
    const Options m_options;
    const Report m_report;
    std::function<void()> m_wake;

    mutable std::mutex m_lock;
    int m_session = -1;   // the session being played, -1 before the first open
    bool m_open = false;  // the host has it open now
    std::vector<std::optional<Clock::time_point>> m_reached;
    std::vector<bool> m_matched;
    std::optional<size_t> m_readCursor;
    size_t m_nextOwn = 0;  // the next event the reader sends by itself
    int m_steps = 0;
    bool m_readReported = false;
    std::vector<std::string> m_pendingReports;
    size_t m_writes = 0, m_unknownWrites = 0, m_reads = 0, m_unanswered = 0, m_played = 0,
           m_notPlayed = 0;
};

}  // namespace quorin_sim
