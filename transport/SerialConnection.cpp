#include "transport/SerialConnection.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include "common/CommandTimeout.h"
#include "common/Diagnostics.h"
#include "common/Guard.h"
#include "common/LibraryState.h"
#include "common/MutexLock.h"
#include "common/ResultCode.h"
#include "common/stdafx.h"
#include "filters/FilterRegistry.h"
#include "filters/FormatFilter.h"
#include "filters/FrameFIFO.h"
#include "transport/Recorder.h"

namespace quorin {

namespace {

// The line's inter-character time-out (VTIME 1) also paces the thread when
// the port reports readable without data.
constexpr int LINE_PACE_MS = 100;
constexpr size_t SCHEME_LENGTH = 9;  // "SERIAL://"

bool isLinkError(int err) {
    return err == EIO || err == ENXIO || err == ENODEV || err == EBADF;
}

// Waits up to timeoutMs for events on the port or for the close's wake-up;
// fds[0] is the port's entry and fds[1] the wake-up's. poll()'s result.
int pollPort(struct pollfd (&fds)[2], int port, short events, int wakeFd, int timeoutMs) {
    fds[0].fd = port;
    fds[0].events = events;
    fds[0].revents = 0;
    fds[1].fd = wakeFd;
    fds[1].events = POLLIN;
    fds[1].revents = 0;
    return ::poll(fds, 2, timeoutMs);
}

}  // namespace

SerialConnection::SerialConnection() = default;

SerialConnection::~SerialConnection() {
    close();
    if (m_wakeFd >= 0) {
        ::close(m_wakeFd);
        m_wakeFd = -1;
    }
}

iConnection* SerialConnection::open(const char* pathScheme) {
    if (!SerialOptions::hasScheme(pathScheme)) {
        return nullptr;
    }
    return guarded<iConnection*>(nullptr, [&]() -> iConnection* {
        std::unique_ptr<SerialConnection> conn(new SerialConnection());
        if (!conn->m_options.apply(std::string(pathScheme + SCHEME_LENGTH))) {
            return nullptr;
        }
        // A filter of its own: another connection on the same framing has
        // its own frame buffer.
        conn->m_filter = FilterRegistry::instance().make(conn->m_options.dataFormat);
        if (!conn->m_filter) {
            return nullptr;
        }
        // The scheme is read by the receiving thread, so it is set before it starts.
        conn->setScheme(pathScheme);
        if (conn->_open() != RC_OK) {
            return nullptr;
        }
        return conn.release();
    });
}

std::string SerialConnection::deviceOf(const char* pathScheme) {
    if (!SerialOptions::hasScheme(pathScheme)) {
        return std::string();
    }
    return guarded<std::string>(std::string(), [&] {
        SerialOptions options;
        if (!options.apply(std::string(pathScheme + SCHEME_LENGTH)) || options.portName.empty()) {
            return std::string();
        }
        std::string device = options.portName;
        if (char* resolved = ::realpath(device.c_str(), nullptr)) {
            device = resolved;
            std::free(resolved);
        }
        return "SERIAL://" + device;
    });
}

int SerialConnection::enumDevices(iConnectionEnumDevice /*fnFoundDevice*/) {
    return 0;
}

int SerialConnection::getPortNumber(std::string portName) {
    if (portName.compare(0, 3, "COM") != 0) {
        return 0;
    }
    return std::atoi(portName.c_str() + 3);
}

int SerialConnection::_open() {
    // Non-blocking so that opening a modem port never waits for carrier and
    // a write can never hang a command; reads are driven by poll().
    int fd = ::open(m_options.portName.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return RC_EXCEPTION;
    }
    tcflush(fd, TCIOFLUSH);
    struct termios tio;
    if (tcgetattr(fd, &tio) != 0) {
        ::close(fd);
        return RC_EXCEPTION;
    }
    // Whatever the port's previous user left (7E1, stripping, parity marks,
    // flow control, output processing) would corrupt or stall the framing's
    // bytes: start from a raw line of 8 data bits with the receiver on, the
    // modem lines ignored and no flow control, then put the character format
    // of the path on it.
    cfmakeraw(&tio);
    tio.c_iflag &= ~(IXOFF | IXANY | INPCK | IMAXBEL | IUCLC);
    tio.c_oflag &= ~(ONLCR | OCRNL);
    tio.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    tio.c_cflag |= CLOCAL | CREAD | m_options.characterFormat();
    tio.c_cc[VTIME] = 1;
    tio.c_cc[VMIN] = 0;
    speed_t speed;
    if (!SerialOptions::speedCode(m_options.baudRate, &speed)) {
        ::close(fd);
        return RC_BAD_ARGUMENT;
    }
    cfsetspeed(&tio, speed);
    if (tcsetattr(fd, TCSANOW, &tio) != 0) {
        ::close(fd);
        return RC_TRANSFER_FAILED;
    }
    m_wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m_wakeFd < 0) {
        ::close(fd);
        return RC_EXCEPTION;
    }
    hComm = fd;
    if (Recorder::requested()) {
        m_recording = RecordedLink::forSerial(szScheme, m_options);
    }
    std::future<bool> started = readingThreadStart.get_future();
    m_thread = std::thread([this] { ReceivingThread(); });
    started.wait();
    return RC_OK;
}

bool SerialConnection::onReceivingThread() const {
    return m_thread.joinable() && m_thread.get_id() == std::this_thread::get_id();
}

void SerialConnection::close() {
    if (LibraryState::forked()) {
        // A forked child's copy: the thread and the wake-up belong to the
        // parent.
        return;
    }
    m_stop.store(true);
    signalWake();
    {
        // Taken and released so a receive() that tested the flags before the
        // store above is already waiting and sees the notification.
        MutexLock guard(m_responseLock);
    }
    m_responseChanged.notify_all();
    if (onReceivingThread()) {
        // Called from a callback: the thread cannot wait for itself. It leaves
        // its loop when the callback returns; the destructor joins it.
        return;
    }
    MutexLock closing(m_closeLock);
    if (m_thread.joinable()) {
        m_thread.join();
    }
    {
        MutexLock guard(m_portLock);
        if (hComm >= 0) {
            ::close(hComm);
            hComm = -1;
        }
    }
    if (m_recording) {
        m_recording->close();
    }
}

void SerialConnection::interrupt() {
    m_interrupted.store(true);
    {
        // Taken and released so a receive() that tested the flag before the
        // store above is already waiting and sees the notification.
        MutexLock guard(m_responseLock);
    }
    m_responseChanged.notify_all();
}

void SerialConnection::ReceivingThread() {
    readingThreadStart.set_value(true);
    guardedVoid([this] {
        // What the line brings may be card data: the chunk is wiped once
        // the filter has taken it.
        CardBytes buffer(READ_CHUNK);
        while (!m_stop.load()) {
            struct pollfd fds[2];
            int ready = pollPort(fds, hComm, POLLIN, m_wakeFd, LINE_PACE_MS);
            if (m_stop.load()) {
                break;
            }
            if (ready < 0) {
                if (errno != EINTR) {
                    pause(LINE_PACE_MS);
                }
                continue;
            }
            if (ready == 0) {
                continue;
            }
            if (fds[1].revents & POLLIN) {
                takeWake();
                continue;
            }
            bool hungUp = (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
            if (fds[0].revents & POLLIN) {
                ssize_t got = ::read(hComm, buffer.data(), buffer.size());
                if (got > 0) {
                    if (m_recording) {
                        m_recording->record(RecordedEvent::RX, buffer.data(),
                                            static_cast<size_t>(got));
                    }
                    OnData(buffer.data(), static_cast<int>(got));
                    CardDataPool::wipe(buffer.data(), static_cast<size_t>(got));
                    CardDataPool::wipeStack();
                    continue;
                }
                if (got < 0 && isLinkError(errno)) {
                    hungUp = true;
                }
            }
            if (hungUp) {
                linkLost();
                break;
            }
            pause(LINE_PACE_MS);
        }
    });
}

void SerialConnection::pause(int ms) {
    struct pollfd wake;
    wake.fd = m_wakeFd;
    wake.events = POLLIN;
    wake.revents = 0;
    if (::poll(&wake, 1, ms) > 0 && (wake.revents & POLLIN)) {
        takeWake();
    }
}

void SerialConnection::takeWake() {
    // Read, so that a wake-up which was no stop (a forked child's copy of
    // this connection closing, say) cannot keep poll() returning at once;
    // a stop's wake-up is put back for every other wait of this connection.
    uint64_t count = 0;
    if (::read(m_wakeFd, &count, sizeof(count)) > 0 && m_stop.load()) {
        signalWake();
    }
}

void SerialConnection::signalWake() {
    if (m_wakeFd >= 0) {
        uint64_t one = 1;
        ssize_t ignored = ::write(m_wakeFd, &one, sizeof(one));
        (void)ignored;
    }
}

void SerialConnection::linkLost() {
    debugLog("%s: the line hung up, reader lost", getScheme());
    if (m_recording) {
        m_recording->record(RecordedEvent::HANGUP, nullptr, 0);
    }
    m_lost.store(true);
    { MutexLock guard(m_responseLock); }
    m_responseChanged.notify_all();
    deliverChanged(CHANGE_READ_FAILED);
}

void SerialConnection::OnData(unsigned char* buffer, int dataLen) {
    CardText msg;
    B2H(buffer, dataLen, msg);
    FormatFilter* filter = m_filter.get();
    if (filter == nullptr) {
        return;
    }
    // Every accepted frame consumes buffered bytes, so the drain ends; the
    // bound only guards against a filter that breaks that rule.
    const size_t maxFrames = FrameFIFO::MAX_BYTES + 2;
    guardedVoid([&] {
        for (size_t i = 0; i < maxFrames && !m_stop.load(); ++i) {
            std::string channelName;
            int channelId = 0;
            CardText channelHexData;
            int result =
                filter->FilterInput(std::move(msg), channelName, channelId, channelHexData);
            msg.clear();
            if (result < 0) {
                break;
            }
            if (filter->refusedFrame()) {
                refused(channelId);
                continue;
            }
            // A compressed frame's data arrives behind the frame's own header;
            // without it the reader gets what the plain frame gives.
            channelHexData.erase(0, 2 * filter->keptHeaderBytes());
            if (channelHexData.empty()) {
                continue;
            }
            dispatch(channelId, channelHexData);
        }
    });
}

void SerialConnection::fillResponse(int status, const CardText& hex) {
    bool filled = false;
    {
        MutexLock guard(m_responseLock);
        // The first response fills the slot; a later one is dropped.
        if (m_pIncomingData && !m_pIncomingData->filled) {
            m_pIncomingData->filled = true;
            m_pIncomingData->status = status;
            m_pIncomingData->hex.assign(hex.data(), hex.size());
            filled = true;
        }
    }
    // The waiting caller is woken once the lock is free, so it does not wake
    // only to wait for it.
    if (filled) {
        m_responseChanged.notify_all();
    }
}

void SerialConnection::refused(int channelId) {
    if (channelId == FormatFilter::CHANNEL_RESPONSE) {
        fillResponse(RC_TRANSFER_FAILED, CardText());
    } else if (channelId == FormatFilter::CHANNEL_CARD_DATA ||
               channelId == FormatFilter::CHANNEL_NOTIFICATION) {
        deliverError(REFUSED_FRAME_TEXT);
    }
}

void SerialConnection::dispatch(int channelId, const CardText& channelHexData) {
    switch (channelId) {
        case FormatFilter::CHANNEL_RESPONSE:
            fillResponse(RC_OK, channelHexData);
            break;
        case FormatFilter::CHANNEL_NOTIFICATION: {
            if (!hasDataCallback()) {
                break;
            }
            CardText hex;
            hex.reserve(channelHexData.size() + 2);
            hex.append("02").append(channelHexData);
            CardBytes bytes;
            H2BV(hex, bytes);
            deliverData(bytes.data(), static_cast<int>(bytes.size()));
            break;
        }
        case FormatFilter::CHANNEL_CARD_DATA: {
            if (!hasDataCallback()) {
                break;
            }
            CardBytes text;
            text.reserve(channelHexData.size() + 1);
            text.push_back(CARD_DATA_PREFIX);
            text.insert(text.end(), channelHexData.begin(), channelHexData.end());
            deliverData(text.data(), static_cast<int>(text.size()));
            break;
        }
        default:
            break;
    }
}

int SerialConnection::send(char* pData, int dataLen, int /*type*/) {
    return guarded<int>(RC_EXCEPTION, [&]() -> int {
        if (m_stop.load() || m_lost.load() || m_interrupted.load()) {
            return RC_NOT_OPEN;
        }
        std::string data;
        if (pData != nullptr && dataLen > 1) {
            data = B2H(reinterpret_cast<unsigned char*>(pData) + 1, dataLen - 1);
        }
        std::string channelName;
        int channelId = 0;
        CardText channelHexData;
        int count = m_filter->FilterOutput(data, channelName, channelId, channelHexData);
        if (count < 0) {
            return RC_BAD_ARGUMENT;
        }
        if (count < 1) {
            return RC_OK;
        }
        CardBytes bytes;
        H2BV(channelHexData, bytes);
        {
            // A new command: an unclaimed earlier response is discarded.
            MutexLock guard(m_responseLock);
            m_pIncomingData.reset(new ResponseSlot());
        }
        return writeAll(bytes) ? RC_OK : RC_EXCEPTION;
    });
}

bool SerialConnection::writeAll(const CardBytes& bytes) {
    MutexLock guard(m_portLock);
    if (hComm < 0) {
        return false;
    }
    // Recorded before the first byte goes out: the receiving thread may read
    // the reader's answer before write() has returned here, and a recording
    // must never hold an answer before its command.
    if (m_recording) {
        m_recording->record(RecordedEvent::TX, bytes.data(), bytes.size());
    }
    auto failed = [this](int error) {
        if (m_recording) {
            m_recording->record(RecordedEvent::TX_FAILED, nullptr, 0, error);
        }
        return false;
    };
    const auto deadline = commandDeadline();
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t wrote = ::write(hComm, bytes.data() + done, bytes.size() - done);
        if (wrote > 0) {
            done += static_cast<size_t>(wrote);
            continue;
        }
        if (wrote < 0 && errno == EINTR) {
            continue;
        }
        if (wrote < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            return failed(errno);
        }
        // The output queue is full: wait until it drains, the connection
        // stops, or the command time-out passes.
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return failed(ETIMEDOUT);
        }
        if (m_stop.load() || m_interrupted.load()) {
            return failed(ECANCELED);
        }
        struct pollfd fds[2];
        if (pollPort(fds, hComm, POLLOUT, m_wakeFd, static_cast<int>(left.count())) < 0 &&
            errno != EINTR) {
            return failed(errno);
        }
        if (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) {
            return failed(EIO);
        }
        if (fds[1].revents & POLLIN) {
            takeWake();
        }
    }
    return true;
}

int SerialConnection::receive(unsigned char* pData, int* dataLen) {
    if (dataLen == nullptr) {
        return RC_BAD_ARGUMENT;
    }
    return guarded<int>(RC_EXCEPTION, [&]() -> int {
        std::string hex;
        int result;
        {
            UniqueLock lock(m_responseLock);
            if (!m_pIncomingData) {
                m_pIncomingData.reset(new ResponseSlot());
            }
            // The exchange's own deadline: its packets share one time-out.
            m_responseChanged.wait_until(
                lock.native(), commandDeadline(), [this]() REQUIRES(m_responseLock) {
                    return (m_pIncomingData && m_pIncomingData->filled) || m_stop.load() ||
                           m_lost.load() || m_interrupted.load();
                });
            if (m_pIncomingData && m_pIncomingData->filled) {
                hex = m_pIncomingData->hex;
                result = m_pIncomingData->status;
            } else if (m_stop.load() || m_lost.load() || m_interrupted.load()) {
                result = RC_NOT_OPEN;
            } else {
                result = RC_TIMEOUT;
            }
            m_pIncomingData.reset();
        }
        if (result != RC_OK) {
            *dataLen = 0;
            return result;
        }
        int capacity = *dataLen;
        H2B("73" + hex, pData, dataLen);
        if (pData == nullptr || *dataLen > capacity) {
            return RC_TRANSFER_FAILED;
        }
        return RC_OK;
    });
}

}  // namespace quorin
