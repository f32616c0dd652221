#include "ReaderHandle.h"

#include <chrono>
#include <cstdio>

#include "CliError.h"
#include "EventQueue.h"
#include "HexText.h"
#include "Quorin.h"
#include "ReaderModels.h"
#include "SerialPath.h"

namespace quorin::cli {

namespace {

// Library result codes that say nothing about the link: the command was
// refused before it was sent.
constexpr int RESULT_TOO_SHORT = 3;
constexpr int RESULT_LOST = 5;
constexpr int RESULT_REFUSED = 6;
constexpr int RESULT_BUSY = 15;
// How long a failed exchange waits for the reader's disconnection to be
// reported. A reader pulled out fails the transfer at once; its receiving
// thread tells of it within one poll (5 ms), and the callback follows.
constexpr auto LOSS_REPORT_BOUND = std::chrono::milliseconds(250);

void onConnection(unsigned long handle, void* obj, long state) {
    auto* link = static_cast<ReaderHandle::Link*>(obj);
    if (state == ZEDRA_STATE_DISCONNECTED) {
        std::lock_guard<std::mutex> guard(link->lock);
        link->disconnected = true;
        link->changed.notify_all();
    }
    ReaderEvent e;
    e.kind = ReaderEvent::CONNECTION;
    e.handle = handle;
    e.state = state;
    EventQueue::instance().post(e);
}

}  // namespace

std::vector<std::string> attachedReaders() {
    std::string list = GetDeviceList();
    std::vector<std::string> paths;
    size_t start = 0;
    while (start < list.size()) {
        size_t comma = list.find(',', start);
        if (comma == std::string::npos) {
            comma = list.size();
        }
        if (comma > start) {
            paths.push_back(list.substr(start, comma - start));
        }
        start = comma + 1;
    }
    return paths;
}

std::string Reply::readerCodeText() const {
    char text[16];
    std::snprintf(text, sizeof(text), extended || readerCode > 0xFF ? "0x%04X" : "0x%02X",
                  static_cast<unsigned>(readerCode));
    return text;
}

std::string Reply::describe() const {
    if (answered()) {
        return "reader result " + readerCodeText();
    }
    return "result " + std::to_string(result) + " (" + resultMeaning(result) + ")";
}

ReaderHandle::ReaderHandle(const std::string& path)
    : m_path(path), m_link(std::make_unique<Link>()) {
    const bool serial = isSerial();
    if (serial) {
        std::string problem = serialPathProblem(path);
        if (!problem.empty()) {
            throw usageError(problem);
        }
    } else {
        std::vector<std::string> attached = attachedReaders();
        if (attached.empty()) {
            throw CliError(
                EXIT_FAILED,
                "no reader attached (for a serial reader give --device SERIAL://PORT=...)");
        }
        if (m_path.empty()) {
            m_path = attached.front();
        } else {
            bool found = false;
            for (const std::string& p : attached) {
                found = found || p == m_path;
            }
            if (!found) {
                std::string names;
                for (const std::string& p : attached) {
                    names += (names.empty() ? "" : ", ") + p;
                }
                throw CliError(EXIT_FAILED,
                               "no reader at " + m_path + " (attached: " + names + ")");
            }
        }
    }
    m_handle = OpenDeviceEx(m_path.c_str());
    if (m_handle == 0) {
        if (serial) {
            throw CliError(EXIT_FAILED, "cannot open " + m_path +
                                            " (check PORT, the framing FORMAT and access to "
                                            "the port)");
        }
        throw CliError(EXIT_FAILED, "cannot open " + m_path +
                                        " (is it in use, or may this user not access it? "
                                        "`quorin list --all` tells)");
    }
    OnDeviceConnectionStateChangedEx(m_handle, &onConnection, m_link.get());
    m_productId = GetProductIDEx(m_handle);
}

ReaderHandle::~ReaderHandle() {
    close();
}

bool ReaderHandle::isSerial() const {
    return upper(m_path.substr(0, 9)) == "SERIAL://";
}

bool ReaderHandle::runsEmv() const {
    return isSerial() ? isEmvSerialPath(m_path) : isEmvModel(m_productId);
}

void ReaderHandle::close() {
    if (m_handle != 0) {
        CloseDeviceEx(m_handle);
        m_handle = 0;
    }
}

Reply ReaderHandle::exchange(const std::string& text, bool withLength) const {
    Reply reply;
    reply.extended = text.find(':') != std::string::npos;
    reply.data = withLength ? SendCommandWithLengthEx(m_handle, text.c_str())
                            : SendCommandEx(m_handle, text.c_str());
    reply.result = GetResultCodeEx(m_handle);
    reply.readerCode = GetReaderResultCodeEx(m_handle);
    return reply;
}

Reply ReaderHandle::command(const std::string& text, bool withLength) const {
    Reply reply = exchange(text, withLength);
    if (lost(reply)) {
        throw CliError(EXIT_DISCONNECTED, lostMessage());
    }
    return reply;
}

bool ReaderHandle::disconnected() const {
    std::lock_guard<std::mutex> guard(m_link->lock);
    return m_link->disconnected;
}

bool ReaderHandle::lost(const Reply& reply) const {
    if (reply.answered() || reply.result == RESULT_TOO_SHORT || reply.result == RESULT_REFUSED ||
        reply.result == RESULT_BUSY) {
        return false;
    }
    if (reply.result == RESULT_LOST && m_handle != 0) {
        return true;  // our handle is open: the connection went
    }
    std::unique_lock<std::mutex> guard(m_link->lock);
    return m_link->changed.wait_for(guard, LOSS_REPORT_BOUND, [&] { return m_link->disconnected; });
}

std::string ReaderHandle::lostMessage() const {
    return "the reader at " + m_path + " was disconnected";
}

}  // namespace quorin::cli
