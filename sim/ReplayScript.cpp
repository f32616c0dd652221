#include "ReplayScript.h"

#include <algorithm>
#include <cstdio>

namespace quorin_sim {

namespace {

std::string hexOf(const ReplayScript::Bytes& bytes, size_t limit = 24) {
    static const char DIGITS[] = "0123456789ABCDEF";
    size_t used = bytes.size();
    while (used > 0 && bytes[used - 1] == 0) {
        --used;
    }
    std::string out;
    for (size_t i = 0; i < std::min(used, limit); ++i) {
        out += DIGITS[bytes[i] >> 4];
        out += DIGITS[bytes[i] & 0x0F];
    }
    if (used > limit) {
        out += "...";
    }
    return out.empty() ? std::string("00") : out;
}

// A tx-failed line tells how the tx before it ended: no write of its own.
bool isWrite(const Recording::Event& e) {
    return e.kind == Recording::Event::FEATURE_OUT || e.kind == Recording::Event::TX;
}

// What a recorded event of the reader's own is anchored to: the host's
// write or open, or the reader's event, that came last before it (reads are
// answers and anchor nothing).
bool isAnchor(const Recording::Event& e) {
    return !e.fromHost() || isWrite(e) || e.kind == Recording::Event::OPEN;
}

}  // namespace

ReplayScript::ReplayScript(const Recording::Device& device, Options options, Report report)
    : m_device(device),
      m_options{options.speed > 0 ? options.speed : 1.0, options.step},
      m_report(std::move(report)) {}

void ReplayScript::setWake(std::function<void()> wake) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_wake = std::move(wake);
}

bool ReplayScript::inSession() const {
    return m_open && m_session >= 0 && static_cast<size_t>(m_session) < m_device.sessions.size();
}

const std::vector<Recording::Event>& ReplayScript::events() const {
    return m_device.sessions[static_cast<size_t>(m_session)].events;
}

void ReplayScript::say(const std::string& text) {
    m_pendingReports.push_back(m_device.label() + ": " + text);
}

void ReplayScript::deliver(const std::vector<std::string>& reports,
                           const std::function<void()>& wake) const {
    for (const auto& r : reports) {
        m_report(r);
    }
    if (wake) {
        wake();
    }
}

void ReplayScript::findNextOwn() {
    const auto& ev = events();
    while (m_nextOwn < ev.size() && ev[m_nextOwn].fromHost()) {
        ++m_nextOwn;
    }
}

void ReplayScript::opened() {
    std::vector<std::string> reports;
    std::function<void()> wake;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        ++m_session;
        m_open = true;
        if (static_cast<size_t>(m_session) >= m_device.sessions.size()) {
            say("opened " + std::to_string(m_session + 1) + " times, but the recording has " +
                std::to_string(m_device.sessions.size()) + " sessions: this one is not answered");
        } else {
            const auto& ev = events();
            m_reached.assign(ev.size(), std::nullopt);
            m_matched.assign(ev.size(), false);
            m_reached[0] = Clock::now();
            m_readCursor = 1;
            m_nextOwn = 1;
            m_readReported = false;
            findNextOwn();
        }
        reports.swap(m_pendingReports);
        wake = m_wake;
    }
    deliver(reports, wake);
}

void ReplayScript::closed() {
    std::vector<std::string> reports;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (inSession()) {
            const auto& ev = events();
            size_t own = 0;
            size_t writes = 0;
            for (size_t i = m_nextOwn; i < ev.size(); ++i) {
                own += ev[i].fromHost() || ev[i].kind == Recording::Event::DROPPED ? 0 : 1;
            }
            for (size_t i = 0; i < ev.size(); ++i) {
                writes += isWrite(ev[i]) && !m_matched[i] ? 1 : 0;
            }
            m_notPlayed += own;
            if (own > 0) {
                say(std::to_string(own) +
                    " recorded events of the reader were not played: the host closed before their "
                    "turn came");
            }
            if (writes > 0) {
                say("the host did not write " + std::to_string(writes) +
                    " of the recorded commands of this session");
            }
        }
        m_open = false;
        reports.swap(m_pendingReports);
    }
    deliver(reports, nullptr);
}

ReplayScript::Write ReplayScript::wrote(const Bytes& bytes) {
    Write result = Write::UNKNOWN;
    std::vector<std::string> reports;
    std::function<void()> wake;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        ++m_writes;
        if (inSession()) {
            const auto& ev = events();
            for (size_t i = 0; i < ev.size(); ++i) {
                if (isWrite(ev[i]) && !m_matched[i] && ev[i].bytes == bytes) {
                    m_matched[i] = true;
                    m_reached[i] = Clock::now();
                    m_readCursor = i + 1;
                    m_readReported = false;
                    // A send fails when a tx-failed line comes before the next send.
                    size_t next = i + 1;
                    while (next < ev.size() && !isWrite(ev[next]) &&
                           ev[next].kind != Recording::Event::TX_FAILED) {
                        ++next;
                    }
                    const bool failed =
                        ev[i].failed ||
                        (next < ev.size() && ev[next].kind == Recording::Event::TX_FAILED);
                    result = failed ? Write::FAILED : Write::TAKEN;
                    break;
                }
            }
        }
        if (result == Write::UNKNOWN) {
            ++m_unknownWrites;
            m_readCursor.reset();
            if (inSession()) {
                say("the host wrote " + hexOf(bytes) +
                    ", which the recording does not hold (not answered)");
            }
        }
        reports.swap(m_pendingReports);
        wake = m_wake;
    }
    deliver(reports, wake);
    return result;
}

std::vector<ReplayScript::Bytes> ReplayScript::pendingWrites() const {
    std::lock_guard<std::mutex> guard(m_lock);
    std::vector<Bytes> writes;
    if (inSession()) {
        const auto& ev = events();
        for (size_t i = 0; i < ev.size(); ++i) {
            if (isWrite(ev[i]) && !m_matched[i] && !ev[i].bytes.empty()) {
                writes.push_back(ev[i].bytes);
            }
        }
    }
    return writes;
}

std::optional<ReplayScript::Bytes> ReplayScript::read(uint8_t reportId) {
    std::optional<Bytes> answer;
    std::vector<std::string> reports;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        ++m_reads;
        bool found = false;
        if (inSession() && m_readCursor) {
            const auto& ev = events();
            size_t i = *m_readCursor;
            while (i < ev.size() && !ev[i].fromHost()) {
                ++i;
            }
            if (i < ev.size() && ev[i].kind == Recording::Event::FEATURE_IN) {
                found = true;
                m_reached[i] = Clock::now();
                m_readCursor = i + 1;
                if (ev[i].reportId != reportId) {
                    say("the host read report " + std::to_string(reportId) +
                        " where the recording read report " + std::to_string(ev[i].reportId));
                }
                if (!ev[i].failed) {
                    answer = ev[i].bytes;
                }
            }
        }
        if (!found) {
            ++m_unanswered;
            if (inSession() && !m_readReported) {
                m_readReported = true;
                say("a read the recording holds no answer for (the transfer fails)");
            }
        }
        reports.swap(m_pendingReports);
    }
    deliver(reports, nullptr);
    return answer;
}

std::optional<Recording::Event> ReplayScript::takeDue(Clock::time_point now,
                                                      Clock::time_point* next) {
    std::optional<Recording::Event> due;
    std::vector<std::string> reports;
    *next = Clock::time_point::max();
    {
        std::lock_guard<std::mutex> guard(m_lock);
        while (inSession() && m_nextOwn < events().size()) {
            const auto& ev = events();
            const Recording::Event& e = ev[m_nextOwn];
            size_t anchor = m_nextOwn - 1;
            while (anchor > 0 && !isAnchor(ev[anchor])) {
                --anchor;
            }
            if (!m_reached[anchor]) {
                break;  // waits for the host
            }
            Clock::time_point at = *m_reached[anchor];
            if (m_options.step) {
                if (m_steps <= 0) {
                    break;
                }
            } else {
                // At most MAX_PAUSE_MICROS: a recording's time stamps and
                // the speed can ask for pauses no clock holds.
                const long long gap = std::max(0LL, e.micros - ev[anchor].micros);
                const double pause = std::min(static_cast<double>(gap) / m_options.speed,
                                              static_cast<double>(MAX_PAUSE_MICROS));
                at += std::chrono::microseconds(static_cast<long long>(pause));
                if (at > now) {
                    *next = at;
                    break;
                }
            }
            if (m_options.step) {
                --m_steps;
            }
            m_reached[m_nextOwn] = now;
            ++m_nextOwn;
            findNextOwn();
            if (e.kind == Recording::Event::DROPPED) {
                say("here the recording lost " + std::to_string(e.count) +
                    " events; they are not played");
                continue;
            }
            ++m_played;
            due = e;
            break;
        }
        reports.swap(m_pendingReports);
    }
    deliver(reports, nullptr);
    return due;
}

void ReplayScript::step() {
    std::function<void()> wake;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        ++m_steps;
        wake = m_wake;
    }
    if (wake) {
        wake();
    }
}

std::string ReplayScript::summary() const {
    std::lock_guard<std::mutex> guard(m_lock);
    char text[512];
    std::snprintf(text, sizeof(text),
                  "%s: %d of %zu sessions opened; %zu writes (%zu not in the recording), %zu "
                  "reads (%zu unanswered), %zu events of the reader played (%zu not)",
                  m_device.label().c_str(), m_session + 1, m_device.sessions.size(), m_writes,
                  m_unknownWrites, m_reads, m_unanswered, m_played, m_notPlayed);
    return text;
}

}  // namespace quorin_sim
