#include "PtyReader.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace quorin_sim {

namespace {

constexpr uint8_t SLIP_END = 0xC0;
constexpr uint8_t SLIP_ESC = 0xDB;
constexpr uint8_t SLIP_ESC_END = 0xDC;
constexpr uint8_t SLIP_ESC_ESC = 0xDD;
constexpr uint8_t LINE_END = 0x0D;
// Commands are short; a host that never ends one cannot grow this past here.
constexpr size_t MAX_INBOUND = 64 * 1024;

const char* framingName(PtyReader::Framing framing) {
    switch (framing) {
        case PtyReader::Framing::SLIP:
            return "SLIP";
        case PtyReader::Framing::LEGACY:
            return "LEGACY";
        case PtyReader::Framing::TIDELINK:
            return "TIDELINK";
    }
    return "SLIP";
}

PtyReader::Bytes textBytes(const std::string& text) {
    return PtyReader::Bytes(text.begin(), text.end());
}

}  // namespace

PtyReader::PtyReader(Framing framing) : m_framing(framing) {
    m_master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (m_master < 0) {
        m_error = std::string("posix_openpt: ") + std::strerror(errno);
        return;
    }
    char name[256];
    if (grantpt(m_master) != 0 || unlockpt(m_master) != 0 ||
        ptsname_r(m_master, name, sizeof(name)) != 0) {
        m_error = std::string("pty setup: ") + std::strerror(errno);
        return;
    }
    m_slavePath = name;
    m_slave = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (m_slave < 0) {
        m_error = std::string("open slave: ") + std::strerror(errno);
        return;
    }
    m_wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m_wakeFd < 0) {
        m_error = std::string("eventfd: ") + std::strerror(errno);
        return;
    }
    m_thread = std::thread([this] { run(); });
    m_ok = true;
}

PtyReader::~PtyReader() {
    stopThread();
    for (int* fd : {&m_master, &m_slave, &m_wakeFd}) {
        if (*fd >= 0) {
            ::close(*fd);
            *fd = -1;
        }
    }
}

void PtyReader::stopThread() {
    m_stop.store(true);
    if (m_wakeFd >= 0) {
        uint64_t one = 1;
        ssize_t ignored = ::write(m_wakeFd, &one, sizeof(one));
        (void)ignored;
    }
    if (m_thread.joinable()) {
        m_thread.join();
    }
}

void PtyReader::hangUp() {
    stopThread();
    std::lock_guard<std::mutex> guard(m_writeLock);
    if (m_master >= 0) {
        ::close(m_master);
        m_master = -1;
    }
    if (m_slave >= 0) {
        ::close(m_slave);
        m_slave = -1;
    }
}

std::string PtyReader::serialPath(const std::string& extraOptions) const {
    std::string path = "SERIAL://PORT=" + m_slavePath + ",FORMAT=" + framingName(m_framing);
    if (!extraOptions.empty()) {
        path += "," + extraOptions;
    }
    return path;
}

void PtyReader::addResponse(const Bytes& command, const Bytes& response) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_script[command] = response;
}

void PtyReader::setResponder(Responder responder) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_responder = std::move(responder);
}

std::vector<PtyReader::Bytes> PtyReader::commands() {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_commands;
}

bool PtyReader::waitForCommands(size_t n, int timeoutMs) {
    std::unique_lock<std::mutex> lock(m_lock);
    return m_commandArrived.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                     [&] { return m_commands.size() >= n; });
}

PtyReader::Bytes PtyReader::responseFrame(const Bytes& payload) const {
    switch (m_framing) {
        case Framing::SLIP:
            return slipFrame(0x04, payload);
        case Framing::LEGACY: {
            Bytes line = textBytes(hex(payload));
            line.push_back(LINE_END);
            return line;
        }
        case Framing::TIDELINK: {
            Bytes line = textBytes("04" + hex(payload));
            line.push_back(LINE_END);
            return line;
        }
    }
    return Bytes();
}

PtyReader::Bytes PtyReader::notificationFrame(const Bytes& data, bool runLength) const {
    switch (m_framing) {
        case Framing::SLIP:
            return runLength ? slipFrame(0x03, rleEncode(data), static_cast<int>(data.size()))
                             : slipFrame(0x02, data);
        case Framing::TIDELINK: {
            Bytes line = textBytes("02" + hex(data));
            line.push_back(LINE_END);
            return line;
        }
        case Framing::LEGACY:
            break;
    }
    return Bytes();
}

PtyReader::Bytes PtyReader::cardDataFrame(const Bytes& data, bool runLength) const {
    switch (m_framing) {
        case Framing::SLIP:
            return runLength ? slipFrame(0x01, rleEncode(data), static_cast<int>(data.size()))
                             : slipFrame(0x00, data);
        case Framing::LEGACY: {
            Bytes line = data;
            line.push_back(LINE_END);
            return line;
        }
        case Framing::TIDELINK:
            break;
    }
    return Bytes();
}

PtyReader::Bytes PtyReader::notificationPacket(uint16_t id, const Bytes& data) {
    const size_t n = data.size();
    Bytes packet = {static_cast<uint8_t>(n >> 8),
                    static_cast<uint8_t>(n),
                    0,
                    0,
                    static_cast<uint8_t>(id >> 8),
                    static_cast<uint8_t>(id),
                    static_cast<uint8_t>(n >> 8),
                    static_cast<uint8_t>(n)};
    packet.insert(packet.end(), data.begin(), data.end());
    return packet;
}

bool PtyReader::sendNotification(const Bytes& data, bool runLength) {
    Bytes frame = notificationFrame(data, runLength);
    return !frame.empty() && writeRaw(frame);
}

bool PtyReader::sendCardData(const Bytes& data, bool runLength) {
    Bytes frame = cardDataFrame(data, runLength);
    return !frame.empty() && writeRaw(frame);
}

bool PtyReader::writeRaw(const Bytes& bytes, int timeoutMs) {
    std::lock_guard<std::mutex> guard(m_writeLock);
    return writeLocked(bytes, timeoutMs);
}

bool PtyReader::writeInPieces(const Bytes& bytes, size_t pieceSize, int timeoutMs) {
    if (pieceSize == 0) {
        return false;
    }
    std::lock_guard<std::mutex> guard(m_writeLock);
    for (size_t at = 0; at < bytes.size(); at += pieceSize) {
        size_t n = std::min(pieceSize, bytes.size() - at);
        if (!writeLocked(Bytes(bytes.begin() + at, bytes.begin() + at + n), timeoutMs)) {
            return false;
        }
    }
    return true;
}

bool PtyReader::writeLocked(const Bytes& bytes, int timeoutMs) {
    if (m_master < 0) {
        return false;
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t wrote = ::write(m_master, bytes.data() + done, bytes.size() - done);
        if (wrote > 0) {
            done += static_cast<size_t>(wrote);
            continue;
        }
        if (wrote < 0 && errno == EINTR) {
            continue;
        }
        if (wrote < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            return false;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return false;
        }
        struct pollfd out;
        out.fd = m_master;
        out.events = POLLOUT;
        out.revents = 0;
        ::poll(&out, 1, static_cast<int>(left.count()));
    }
    return true;
}

void PtyReader::run() {
    uint8_t buffer[4096];
    while (!m_stop.load()) {
        struct pollfd fds[2];
        fds[0].fd = m_master;
        fds[0].events = POLLIN;
        fds[0].revents = 0;
        fds[1].fd = m_wakeFd;
        fds[1].events = POLLIN;
        fds[1].revents = 0;
        int ready = ::poll(fds, 2, 100);
        if (m_stop.load()) {
            break;
        }
        if (ready <= 0) {
            continue;
        }
        if (fds[0].revents & POLLIN) {
            ssize_t got = ::read(m_master, buffer, sizeof(buffer));
            if (got > 0) {
                m_inbound.insert(m_inbound.end(), buffer, buffer + got);
                if (m_inbound.size() > MAX_INBOUND) {
                    m_inbound.erase(m_inbound.begin(),
                                    m_inbound.begin() + (m_inbound.size() - MAX_INBOUND));
                }
                parseCommands();
                continue;
            }
        }
        if (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) {
            // Nothing to read right now (the slave side is being reopened):
            // wait a little instead of spinning on the hang-up condition.
            struct pollfd wake;
            wake.fd = m_wakeFd;
            wake.events = POLLIN;
            wake.revents = 0;
            ::poll(&wake, 1, 10);
        }
    }
}

void PtyReader::parseCommands() {
    if (m_framing == Framing::SLIP) {
        for (;;) {
            auto start = std::find(m_inbound.begin(), m_inbound.end(), SLIP_END);
            if (start == m_inbound.end()) {
                m_inbound.clear();  // nothing here can start a frame
                return;
            }
            auto stop = std::find(start + 1, m_inbound.end(), SLIP_END);
            if (stop == m_inbound.end()) {
                m_inbound.erase(m_inbound.begin(), start);
                return;
            }
            if (stop == start + 1) {
                m_inbound.erase(m_inbound.begin(), start + 1);  // C0 C0: resynchronise
                continue;
            }
            Bytes payload = slipUnstuff(Bytes(start + 1, stop));
            m_inbound.erase(m_inbound.begin(), stop + 1);
            if (payload.size() >= 3 && payload[0] == 0x05) {
                handleCommand(Bytes(payload.begin() + 3, payload.end()));
            }
        }
    }
    for (;;) {
        auto end = std::find(m_inbound.begin(), m_inbound.end(), LINE_END);
        if (end == m_inbound.end()) {
            return;
        }
        Bytes line(m_inbound.begin(), end);
        m_inbound.erase(m_inbound.begin(), end + 1);
        if (line.empty()) {
            continue;
        }
        if (m_framing == Framing::LEGACY) {
            handleCommand(unhex(std::string(line.begin(), line.end())));
        } else {
            handleCommand(line);
        }
    }
}

void PtyReader::handleCommand(const Bytes& command) {
    Bytes response;
    bool answer = false;
    Responder responder;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_commands.push_back(command);
        auto scripted = m_script.find(command);
        if (scripted != m_script.end()) {
            response = scripted->second;
            answer = true;
        } else {
            responder = m_responder;
        }
    }
    m_commandArrived.notify_all();
    if (!answer && responder) {
        answer = responder(command, &response);
    }
    if (answer) {
        writeRaw(responseFrame(response));
    }
}

PtyReader::Bytes PtyReader::slipFrame(uint8_t type, const Bytes& payloadData, int lengthField) {
    size_t length = lengthField >= 0 ? static_cast<size_t>(lengthField) : payloadData.size();
    Bytes payload;
    payload.push_back(type);
    payload.push_back(static_cast<uint8_t>((length >> 8) & 0xFF));
    payload.push_back(static_cast<uint8_t>(length & 0xFF));
    payload.insert(payload.end(), payloadData.begin(), payloadData.end());
    Bytes frame;
    frame.push_back(SLIP_END);
    for (uint8_t b : payload) {
        if (b == SLIP_END) {
            frame.push_back(SLIP_ESC);
            frame.push_back(SLIP_ESC_END);
        } else if (b == SLIP_ESC) {
            frame.push_back(SLIP_ESC);
            frame.push_back(SLIP_ESC_ESC);
        } else {
            frame.push_back(b);
        }
    }
    frame.push_back(SLIP_END);
    return frame;
}

PtyReader::Bytes PtyReader::slipUnstuff(const Bytes& stuffed) {
    Bytes out;
    for (size_t i = 0; i < stuffed.size(); ++i) {
        if (stuffed[i] == SLIP_ESC && i + 1 < stuffed.size() &&
            (stuffed[i + 1] == SLIP_ESC_END || stuffed[i + 1] == SLIP_ESC_ESC)) {
            out.push_back(stuffed[i + 1] == SLIP_ESC_END ? SLIP_END : SLIP_ESC);
            ++i;
        } else {
            out.push_back(stuffed[i]);
        }
    }
    return out;
}

PtyReader::Bytes PtyReader::rleEncode(const Bytes& plain) {
    Bytes out;
    size_t i = 0;
    while (i < plain.size()) {
        size_t run = 1;
        while (i + run < plain.size() && plain[i + run] == plain[i] && run < 255) {
            ++run;
        }
        if (run == 1) {
            out.push_back(plain[i]);
        } else {
            out.push_back(plain[i]);
            out.push_back(plain[i]);
            out.push_back(static_cast<uint8_t>(run));
        }
        i += run;
    }
    return out;
}

std::string PtyReader::hex(const Bytes& bytes) {
    static const char DIGITS[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(bytes.size() * 2);
    for (uint8_t b : bytes) {
        text.push_back(DIGITS[b >> 4]);
        text.push_back(DIGITS[b & 0x0F]);
    }
    return text;
}

PtyReader::Bytes PtyReader::unhex(const std::string& text) {
    auto digit = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        return 0;
    };
    Bytes out;
    for (size_t i = 0; i + 1 < text.size(); i += 2) {
        out.push_back(static_cast<uint8_t>(digit(text[i]) * 16 + digit(text[i + 1])));
    }
    return out;
}

}  // namespace quorin_sim
