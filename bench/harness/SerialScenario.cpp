#include "SerialScenario.h"

#include <fcntl.h>
#include <poll.h>
#include <strings.h>
#include <sys/eventfd.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Clock.h"
#include "PtyReader.h"
#include "Quorin.h"

namespace quorin_bench {

namespace {

using quorin_sim::PtyReader;
using Bytes = PtyReader::Bytes;

constexpr uint8_t COMMAND = 0x01;
constexpr size_t DATA_BYTES = 62;  // + command byte + length byte = 64
constexpr uint8_t SLIP_END = 0xC0;
constexpr uint8_t TYPE_COMMAND = 0x05;
constexpr uint8_t TYPE_RESPONSE = 0x04;
constexpr int IO_TIMEOUT_MS = 2000;

// The emulator answers every command "result 0" with the command's data:
// command byte, length byte, data -> 00, length byte, data.
bool echo(const Bytes& command, Bytes* response) {
    if (command.size() < 2) {
        return false;
    }
    response->assign(command.begin(), command.end());
    (*response)[0] = 0x00;
    return true;
}

// The raw host: the slave side of the pseudo-terminal in raw mode.
class RawPort {
public:
    explicit RawPort(const std::string& path) {
        m_fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (m_fd < 0) {
            return;
        }
        struct termios tio;
        if (tcgetattr(m_fd, &tio) == 0) {
            cfmakeraw(&tio);
            tcsetattr(m_fd, TCSANOW, &tio);
        }
    }
    ~RawPort() {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
    }
    RawPort(const RawPort&) = delete;
    RawPort& operator=(const RawPort&) = delete;
    bool ok() const { return m_fd >= 0; }

    // Writes the frame, then reads until a whole SLIP frame came back; the
    // frame's payload, unstuffed, goes to payload.
    bool exchange(const Bytes& frame, Bytes* payload) {
        size_t done = 0;
        while (done < frame.size()) {
            ssize_t n = ::write(m_fd, frame.data() + done, frame.size() - done);
            if (n > 0) {
                done += static_cast<size_t>(n);
            } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
                return false;
            } else if (!waitFor(POLLOUT)) {
                return false;
            }
        }
        for (;;) {
            auto start = std::find(m_inbound.begin(), m_inbound.end(), SLIP_END);
            if (start != m_inbound.end()) {
                auto stop = std::find(start + 1, m_inbound.end(), SLIP_END);
                if (stop == start + 1) {
                    m_inbound.erase(m_inbound.begin(), start + 1);
                    continue;
                }
                if (stop != m_inbound.end()) {
                    *payload = PtyReader::slipUnstuff(Bytes(start + 1, stop));
                    m_inbound.erase(m_inbound.begin(), stop + 1);
                    return true;
                }
            }
            unsigned char buffer[2048];
            ssize_t n = ::read(m_fd, buffer, sizeof(buffer));
            if (n > 0) {
                m_inbound.insert(m_inbound.end(), buffer, buffer + n);
            } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
                return false;
            } else if (!waitFor(POLLIN)) {
                return false;
            }
        }
    }

    int fd() const { return m_fd; }

private:
    bool waitFor(short events) {
        struct pollfd p;
        p.fd = m_fd;
        p.events = events;
        p.revents = 0;
        return ::poll(&p, 1, IO_TIMEOUT_MS) > 0 && (p.revents & events) != 0;
    }

    int m_fd = -1;
    Bytes m_inbound;
};

// The raw host with the library's shape: a receiving thread owns the reads
// (poll on the port and a wake-up descriptor), takes frames apart and hands
// each answer to the caller through a condition variable. It tells the cost
// of that hand-off from the rest of the library's path.
class ThreadedRawPort {
public:
    explicit ThreadedRawPort(const std::string& path) : m_port(path) {
        m_wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (m_port.ok() && m_wake >= 0) {
            m_thread = std::thread([this] { run(); });
        }
    }
    ~ThreadedRawPort() {
        m_stop.store(true);
        if (m_wake >= 0) {
            uint64_t one = 1;
            ssize_t ignored = ::write(m_wake, &one, sizeof(one));
            (void)ignored;
        }
        if (m_thread.joinable()) {
            m_thread.join();
        }
        if (m_wake >= 0) {
            ::close(m_wake);
        }
    }
    ThreadedRawPort(const ThreadedRawPort&) = delete;
    ThreadedRawPort& operator=(const ThreadedRawPort&) = delete;
    bool ok() const { return m_thread.joinable(); }

    bool exchange(const Bytes& frame, Bytes* payload) {
        {
            std::lock_guard<std::mutex> guard(m_lock);
            m_answered = false;
        }
        size_t done = 0;
        while (done < frame.size()) {
            ssize_t n = ::write(m_port.fd(), frame.data() + done, frame.size() - done);
            if (n > 0) {
                done += static_cast<size_t>(n);
            } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
                return false;
            }
        }
        std::unique_lock<std::mutex> guard(m_lock);
        if (!m_changed.wait_for(guard, std::chrono::milliseconds(IO_TIMEOUT_MS),
                                [this] { return m_answered; })) {
            return false;
        }
        *payload = m_answer;
        return true;
    }

private:
    void run() {
        Bytes inbound;
        unsigned char buffer[2048];
        while (!m_stop.load()) {
            struct pollfd fds[2];
            fds[0].fd = m_port.fd();
            fds[0].events = POLLIN;
            fds[0].revents = 0;
            fds[1].fd = m_wake;
            fds[1].events = POLLIN;
            fds[1].revents = 0;
            if (::poll(fds, 2, 100) <= 0 || (fds[0].revents & POLLIN) == 0) {
                continue;
            }
            ssize_t n = ::read(m_port.fd(), buffer, sizeof(buffer));
            if (n <= 0) {
                continue;
            }
            inbound.insert(inbound.end(), buffer, buffer + n);
            for (;;) {
                auto start = std::find(inbound.begin(), inbound.end(), SLIP_END);
                if (start == inbound.end()) {
                    inbound.clear();
                    break;
                }
                auto stop = std::find(start + 1, inbound.end(), SLIP_END);
                if (stop == inbound.end()) {
                    inbound.erase(inbound.begin(), start);
                    break;
                }
                if (stop != start + 1) {
                    Bytes answer = PtyReader::slipUnstuff(Bytes(start + 1, stop));
                    std::lock_guard<std::mutex> guard(m_lock);
                    m_answer = std::move(answer);
                    m_answered = true;
                    m_changed.notify_all();
                }
                inbound.erase(inbound.begin(), stop + 1);
            }
        }
    }

    RawPort m_port;
    int m_wake = -1;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
    std::mutex m_lock;  // guards m_answer and m_answered
    std::condition_variable m_changed;
    Bytes m_answer;
    bool m_answered = false;
};

}  // namespace

ScenarioResult SerialScenario::run() {
    ScenarioResult result;
    result.number = 3;
    result.key = "serial";
    result.title = "Serial command round trip, 64-byte command and answer, SLIP on a pty";

    Bytes data(DATA_BYTES);
    for (size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<uint8_t>(0x30 + i);  // no SLIP_END or escape bytes
    }
    // command byte, length byte, data
    Bytes command(2 + DATA_BYTES);
    command[0] = COMMAND;
    command[1] = static_cast<uint8_t>(DATA_BYTES);
    std::copy(data.begin(), data.end(), command.begin() + 2);
    const std::string commandText = PtyReader::hex(Bytes{COMMAND}) + PtyReader::hex(data);
    const std::string expected = PtyReader::hex(data);
    const Bytes rawFrame = PtyReader::slipFrame(TYPE_COMMAND, command);
    // type, length (2), result 00, length byte, data
    Bytes expectedPayload(5 + DATA_BYTES);
    expectedPayload[0] = TYPE_RESPONSE;
    expectedPayload[2] = static_cast<uint8_t>(command.size());
    expectedPayload[4] = static_cast<uint8_t>(DATA_BYTES);
    std::copy(data.begin(), data.end(), expectedPayload.begin() + 5);

    PtyReader libraryPty(PtyReader::Framing::SLIP);
    PtyReader rawPty(PtyReader::Framing::SLIP);
    PtyReader threadedPty(PtyReader::Framing::SLIP);
    if (!libraryPty.ok() || !rawPty.ok() || !threadedPty.ok()) {
        result.error =
            "no pseudo-terminal: " + libraryPty.error() + rawPty.error() + threadedPty.error();
        return result;
    }
    libraryPty.setResponder(echo);
    rawPty.setResponder(echo);
    threadedPty.setResponder(echo);
    SetCommandTimeout(IO_TIMEOUT_MS);
    unsigned long handle = OpenDeviceEx(libraryPty.serialPath("BAUDRATE=115200").c_str());
    if (handle == 0) {
        SetCommandTimeout(10000);
        result.error = "OpenDeviceEx failed on " + libraryPty.serialPath();
        return result;
    }
    RawPort raw(rawPty.slavePath());
    ThreadedRawPort threaded(threadedPty.slavePath());
    if (!raw.ok() || !threaded.ok()) {
        CloseDeviceEx(handle);
        SetCommandTimeout(10000);
        result.error = "cannot open " + rawPty.slavePath() + " or " + threadedPty.slavePath();
        return result;
    }

    const int repetitions = m_options.pick(200, 40);
    const int warmups = 5;
    progress("[3] serial: %d round trips each for the library and the raw echo", repetitions);
    SampleSet library;
    SampleSet baseline;
    SampleSet handedOver;
    int libraryFailures = 0;
    int rawFailures = 0;
    auto libraryTrial = [&](bool record) {
        int64_t t0 = wallNs();
        std::string answer = SendCommandEx(handle, commandText.c_str());
        int64_t t1 = wallNs();
        if (strcasecmp(answer.c_str(), expected.c_str()) != 0) {
            ++libraryFailures;
        } else if (record) {
            library.add(static_cast<double>(t1 - t0) / 1e3);
        }
    };
    auto rawTrial = [&](bool record) {
        Bytes payload;
        int64_t t0 = wallNs();
        bool ok = raw.exchange(rawFrame, &payload);
        int64_t t1 = wallNs();
        if (!ok || payload != expectedPayload) {
            ++rawFailures;
        } else if (record) {
            baseline.add(static_cast<double>(t1 - t0) / 1e3);
        }
    };
    auto threadedTrial = [&](bool record) {
        Bytes payload;
        int64_t t0 = wallNs();
        bool ok = threaded.exchange(rawFrame, &payload);
        int64_t t1 = wallNs();
        if (!ok || payload != expectedPayload) {
            ++rawFailures;
        } else if (record) {
            handedOver.add(static_cast<double>(t1 - t0) / 1e3);
        }
    };
    for (int i = 0; i < warmups + repetitions; ++i) {
        bool record = i >= warmups;
        // Who goes first rotates.
        for (int k = 0; k < 3; ++k) {
            switch ((i + k) % 3) {
                case 0:
                    libraryTrial(record);
                    break;
                case 1:
                    rawTrial(record);
                    break;
                default:
                    threadedTrial(record);
                    break;
            }
        }
    }
    CloseDeviceEx(handle);
    SetCommandTimeout(10000);

    Metric roundTrip;
    roundTrip.name = "round trip, SendCommandEx (64-byte command, 64-byte answer)";
    roundTrip.unit = "us";
    roundTrip.value = library.summary();
    roundTrip.baselineName = "baseline (raw write/read)";
    roundTrip.baseline = baseline.summary();
    roundTrip.check = Check::RATIO_AT_MOST;
    roundTrip.limit = 1.5;
    result.metrics.push_back(roundTrip);
    Metric handOff;
    handOff.name = "round trip, raw with a receiving thread handing the answer over";
    handOff.unit = "us";
    handOff.subject = "raw + receiving thread";
    handOff.value = handedOver.summary();
    handOff.baselineName = "baseline (raw write/read)";
    handOff.baseline = baseline.summary();
    result.metrics.push_back(handOff);
    char text[320];
    std::snprintf(text, sizeof(text),
                  "every side talks to its own PtyReader emulator answering 00 + the command's "
                  "data; the raw sides write the frame the library writes and read the answer "
                  "frame themselves; failed exchanges: library %d, raw %d",
                  libraryFailures, rawFailures);
    result.notes.push_back(text);
    if (libraryFailures != 0 || rawFailures != 0) {
        result.error = "exchanges failed (see notes)";
    }
    return result;
}

}  // namespace quorin_bench
