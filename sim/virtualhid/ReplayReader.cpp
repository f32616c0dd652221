#include "virtualhid/ReplayReader.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <string>

namespace quorin_sim {

namespace {

std::wstring wide(const std::string& text) {
    return std::wstring(text.begin(), text.end());
}

}  // namespace

ReplayReader::ReplayReader(const Recording::Device& device, ReplayScript::Options options,
                           ReplayScript::Report report, int stepFd)
    : VirtualReader(static_cast<uint16_t>(device.number("vid", 0)),
                    static_cast<uint16_t>(device.number("pid", 0)), device.serialNumber()),
      m_script(device, options, std::move(report)) {
    setPath(device.field("path"));
    setStrings(wide(device.field("manufacturer")), wide(device.field("product")));
    m_script.setWake([this] {
        std::lock_guard<std::mutex> guard(m_waitLock);
        m_woken = true;
        m_wake.notify_all();
    });
    m_stopFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    m_player = std::thread([this] { play(); });
    if (stepFd >= 0 && m_stopFd >= 0) {
        m_stepper = std::thread([this, stepFd] { readSteps(stepFd); });
    }
}

ReplayReader::~ReplayReader() {
    m_stop = true;
    {
        std::lock_guard<std::mutex> guard(m_waitLock);
        m_woken = true;
        m_wake.notify_all();
    }
    if (m_stopFd >= 0) {
        uint64_t one = 1;
        ssize_t ignored = ::write(m_stopFd, &one, sizeof(one));
        (void)ignored;
    }
    if (m_player.joinable()) {
        m_player.join();
    }
    if (m_stepper.joinable()) {
        m_stepper.join();
    }
    if (m_stopFd >= 0) {
        ::close(m_stopFd);
    }
}

// Bytes as a device sends them for GET_REPORT: for report 0 without the ID
// byte the host's buffer has in front.
Report ReplayReader::onGetFeature(uint8_t reportId) {
    std::optional<Report> answer = m_script.read(reportId);
    if (!answer || answer->empty()) {
        return {};
    }
    if ((*answer)[0] == 0) {
        return Report(answer->begin() + 1, answer->end());
    }
    return *answer;
}

void ReplayReader::onSetFeature(const Report& report) {
    m_script.wrote(report);
}

void ReplayReader::onOpened() {
    m_script.opened();
}

void ReplayReader::onClosed() {
    m_script.closed();
    // A recorded unplug ended the session: back on the bus for the next one.
    if (m_unplugged.exchange(false)) {
        replug();
    }
}

void ReplayReader::play() {
    while (!m_stop) {
        ReplayScript::Clock::time_point next;
        std::optional<Recording::Event> e = m_script.takeDue(ReplayScript::Clock::now(), &next);
        if (e) {
            if (e->kind == Recording::Event::INPUT) {
                pushInputReport(e->bytes);
            } else if (e->kind == Recording::Event::READ_FAILED) {
                m_unplugged = true;
                unplug();
            }
            continue;
        }
        std::unique_lock<std::mutex> lock(m_waitLock);
        if (next == ReplayScript::Clock::time_point::max()) {
            m_wake.wait(lock, [this] { return m_woken; });
        } else {
            m_wake.wait_until(lock, next, [this] { return m_woken; });
        }
        m_woken = false;
    }
}

void ReplayReader::readSteps(int fd) {
    while (!m_stop) {
        struct pollfd fds[2] = {{fd, POLLIN, 0}, {m_stopFd, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            continue;
        }
        if (fds[1].revents != 0) {
            return;
        }
        char c;
        if (::read(fd, &c, 1) != 1) {
            return;  // the controlling end went away
        }
        m_script.step();
    }
}

}  // namespace quorin_sim
