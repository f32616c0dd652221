#include "SerialReplay.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace quorin_sim {

namespace {

// A write that arrives in pieces is awaited this long before its bytes are
// reported as not recorded.
constexpr int PIECE_WAIT_MS = 200;

bool startsWith(const Recording::Bytes& text, const Recording::Bytes& start) {
    return text.size() >= start.size() && std::equal(start.begin(), start.end(), text.begin());
}

}  // namespace

SerialReplay::SerialReplay(const Recording::Device& device, ReplayScript::Options options,
                           ReplayScript::Report report)
    : m_script(device, options, std::move(report)) {}

SerialReplay::~SerialReplay() {
    m_stop = true;
    wake();
    if (m_thread.joinable()) {
        m_thread.join();
    }
    for (int fd : {m_master, m_slave, m_inotify, m_wakeFd}) {
        if (fd >= 0) {
            ::close(fd);
        }
    }
}

bool SerialReplay::start(std::string* error) {
    m_master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    char name[256];
    if (m_master < 0 || grantpt(m_master) != 0 || unlockpt(m_master) != 0 ||
        ptsname_r(m_master, name, sizeof(name)) != 0) {
        *error = std::string("no pseudo-terminal: ") + std::strerror(errno);
        return false;
    }
    m_slavePath = name;
    // Held open so the master stays usable while no host has the port.
    m_slave = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    m_inotify = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    m_wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m_slave < 0 || m_inotify < 0 || m_wakeFd < 0 ||
        inotify_add_watch(m_inotify, name, IN_OPEN | IN_CLOSE) < 0) {
        *error = std::string("pseudo-terminal setup: ") + std::strerror(errno);
        return false;
    }
    m_script.setWake([this] { wake(); });
    m_thread = std::thread([this] { run(); });
    return true;
}

std::string SerialReplay::path() const {
    const Recording::Device& d = m_script.device();
    std::string path = "SERIAL://PORT=" + m_slavePath + ",FORMAT=" + d.field("format", "SLIP");
    const std::string baud = d.field("baud");
    if (!baud.empty() && baud != "115200") {
        path += ",BAUDRATE=" + baud;
    }
    return path;
}

void SerialReplay::wake() {
    if (m_wakeFd >= 0) {
        uint64_t one = 1;
        ssize_t ignored = ::write(m_wakeFd, &one, sizeof(one));
        (void)ignored;
    }
}

// Cuts the host's bytes into the recorded writes they begin with.
void SerialReplay::takeBytes(bool flush) {
    while (!m_inbound.empty()) {
        bool prefix = false;
        bool taken = false;
        for (const Recording::Bytes& w : m_script.pendingWrites()) {
            if (startsWith(m_inbound, w)) {
                m_script.wrote(w);
                m_inbound.erase(m_inbound.begin(), m_inbound.begin() + static_cast<long>(w.size()));
                taken = true;
                break;
            }
            prefix = prefix || startsWith(w, m_inbound);
        }
        if (taken) {
            continue;
        }
        if (prefix && !flush) {
            return;  // the rest of a write is still on its way
        }
        m_script.wrote(m_inbound);  // reported: not in the recording
        m_inbound.clear();
    }
}

void SerialReplay::run() {
    int opens = 0;
    auto pieceDeadline = ReplayScript::Clock::time_point::max();
    while (!m_stop) {
        ReplayScript::Clock::time_point next;
        const auto now = ReplayScript::Clock::now();
        if (now >= pieceDeadline) {
            takeBytes(true);
            pieceDeadline = ReplayScript::Clock::time_point::max();
        }
        std::optional<Recording::Event> e = m_script.takeDue(now, &next);
        if (e) {
            if (e->kind == Recording::Event::RX && m_master >= 0) {
                size_t done = 0;
                while (done < e->bytes.size() && !m_stop) {
                    ssize_t n = ::write(m_master, e->bytes.data() + done, e->bytes.size() - done);
                    if (n > 0) {
                        done += static_cast<size_t>(n);
                    } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
                        break;
                    } else {
                        struct pollfd out = {m_master, POLLOUT, 0};
                        ::poll(&out, 1, 100);
                    }
                }
            } else if (e->kind == Recording::Event::HANGUP) {
                // The line hangs up as recorded: the port goes away.
                ::close(m_master);
                ::close(m_slave);
                m_master = m_slave = -1;
            }
            continue;
        }
        next = std::min(next, pieceDeadline);
        int timeout = -1;
        if (next != ReplayScript::Clock::time_point::max()) {
            auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(next - now).count();
            timeout = static_cast<int>(std::max<long long>(1, std::min<long long>(ms + 1, 60000)));
        }
        struct pollfd fds[3] = {
            {m_master, POLLIN, 0}, {m_inotify, POLLIN, 0}, {m_wakeFd, POLLIN, 0}};
        if (::poll(fds, 3, timeout) < 0) {
            continue;
        }
        if (fds[2].revents & POLLIN) {
            uint64_t count;
            ssize_t ignored = ::read(m_wakeFd, &count, sizeof(count));
            (void)ignored;
        }
        if (fds[1].revents & POLLIN) {
            alignas(inotify_event) char buffer[4096];
            ssize_t n = ::read(m_inotify, buffer, sizeof(buffer));
            for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(inotify_event)) <= n;) {
                const auto* ev = reinterpret_cast<const inotify_event*>(buffer + at);
                if (ev->mask & IN_OPEN) {
                    if (opens++ == 0) {
                        m_script.opened();
                    }
                } else if ((ev->mask & IN_CLOSE) && opens > 0 && --opens == 0) {
                    takeBytes(true);
                    m_script.closed();
                }
                at += static_cast<ssize_t>(sizeof(inotify_event) + ev->len);
            }
        }
        if (m_master >= 0 && (fds[0].revents & POLLIN)) {
            uint8_t buffer[4096];
            ssize_t n = ::read(m_master, buffer, sizeof(buffer));
            if (n > 0 && m_inbound.size() < Recording::MAX_PAYLOAD) {
                m_inbound.insert(m_inbound.end(), buffer, buffer + n);
                takeBytes(false);
                pieceDeadline = m_inbound.empty() ? ReplayScript::Clock::time_point::max()
                                                  : ReplayScript::Clock::now() +
                                                        std::chrono::milliseconds(PIECE_WAIT_MS);
            }
        }
    }
}

}  // namespace quorin_sim
