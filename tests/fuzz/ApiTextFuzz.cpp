// The exported functions that take text from the host, against virtual USB
// readers whose answers the input also chooses: the command functions of
// every generation, the asynchronous workers, the extended command and the
// EMV command builders.
//
// Input: a selector byte, the reader's answer (a length-prefixed chunk that
// becomes every feature report the readers send back), a handle choice, then
// up to three texts. The first-generation reader is an extended-protocol
// reader, the Ex reader a plain one; both stay open across inputs.
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#include "FuzzInput.h"
#include "FuzzTarget.h"
#include "Quorin.h"
#include "api/ReaderSession.h"
#include "virtualhid/VirtualHid.h"

using quorin_test::FuzzInput;

namespace {

constexpr uint16_t VID = QUORIN_USB_VENDOR_ID;
constexpr uint16_t EXTENDED_PID = 0x19;
constexpr uint16_t PLAIN_PID = 0x11;
constexpr size_t FEATURE_BYTES = 61;

// A reader that answers feature reads with the bytes set last, a few times
// per input: a multi-packet response then ends in a stall instead of being
// asked for packet after packet (each request costs a 50 ms write pause).
class AnsweringReader : public quorin_sim::VirtualReader {
public:
    using VirtualReader::VirtualReader;

    static constexpr int ANSWERS_PER_INPUT = 4;

    void setAnswer(std::vector<uint8_t> answer) {
        std::lock_guard<std::mutex> guard(m_answerLock);
        m_answer = std::move(answer);
        m_left = ANSWERS_PER_INPUT;
    }
    quorin_sim::Report onGetFeature(uint8_t reportId) override {
        std::lock_guard<std::mutex> guard(m_answerLock);
        if (m_answer.empty() || m_left == 0) {
            return {};  // a stall: the transfer fails
        }
        --m_left;
        quorin_sim::Report r;
        if (reportId != 0) {
            r.push_back(reportId);
        }
        r.insert(r.end(), m_answer.begin(), m_answer.end());
        r.resize(reportId != 0 ? FEATURE_BYTES : FEATURE_BYTES - 1, 0);
        return r;
    }

private:
    std::mutex m_answerLock;  // guards m_answer and m_left
    std::vector<uint8_t> m_answer;
    int m_left = 0;
};

struct Bench {
    std::shared_ptr<AnsweringReader> extended;
    std::shared_ptr<AnsweringReader> plain;
    unsigned long handle = 0;
};

// Opened once: opening starts a receiving thread and runs a handshake, which
// would dominate every run.
Bench& bench() {
    static Bench* b = [] {
        auto* made = new Bench();
        quorin_sim::VirtualHid::instance().reset();
        // The first generation takes the last listed reader.
        made->plain =
            quorin_sim::VirtualHid::instance().plug<AnsweringReader>(VID, PLAIN_PID, "FZP");
        made->extended =
            quorin_sim::VirtualHid::instance().plug<AnsweringReader>(VID, EXTENDED_PID, "FZE");
        made->extended->setAnswer({0x00, 0x00});
        made->plain->setAnswer({0x00, 0x00});
        FUZZ_CHECK(OpenDevice(nullptr) == 0);
        long pid = 0;
        QuorinGetPID(&pid);
        FUZZ_CHECK(pid == EXTENDED_PID);
        made->handle = OpenDeviceEx("HID://FZP");
        FUZZ_CHECK(made->handle != 0);
        SetCommandTimeout(200);
        // Closed before the session goes, so no receiving thread outlives it.
        std::atexit([] {
            CloseDeviceEx(bench().handle);
            CloseDevice();
        });
        return made;
    }();
    return *b;
}

void checkText(const char* text) {
    FUZZ_CHECK(text != nullptr);
    FUZZ_CHECK(std::strlen(text) < 64 * 1024);
}

}  // namespace

QUORIN_FUZZ_TARGET(api_text) {
    Bench& b = bench();
    FuzzInput in(data, size);
    const int selector = in.u8();
    std::vector<uint8_t> answer = in.chunk(FEATURE_BYTES - 1);
    // A busy or not-ready status is retried with real pauses: keep the runs fast.
    if (answer.size() > 0 && (answer[0] == 0x0B || answer[0] == 0x0C)) {
        answer[0] = 0x00;
    }
    b.extended->setAnswer(answer);
    b.plain->setAnswer(answer);
    const uint8_t handleChoice = in.u8();
    const unsigned long handle = handleChoice < 200 ? b.handle : handleChoice;
    const std::string t1 = in.text(in.u16() % 5000);
    const std::string t2 = in.text(in.u8());
    const std::string t3 = in.restText();
    const uint8_t p = static_cast<uint8_t>(t2.empty() ? 0 : t2[0]);

    switch (selector % 16) {
        case 0:
        case 1: {
            // The result buffer is exactly as large as the caller says.
            const long capacity = 1 + static_cast<long>(p) * 8;
            std::unique_ptr<char[]> result(new char[capacity]);
            std::string cmd = t1;
            const long rc =
                selector % 16 == 0
                    ? QuorinSendCommand(&cmd[0], static_cast<long>(cmd.size()), result.get(),
                                        capacity)
                    : QuorinSendCommandWithLength(&cmd[0], static_cast<long>(cmd.size()),
                                                  result.get(), capacity);
            if (rc == 0) {
                FUZZ_CHECK(std::memchr(result.get(), '\0', static_cast<size_t>(capacity)) !=
                           nullptr);
            }
            break;
        }
        case 2:
            checkText(SendCommand(t1.c_str()));
            break;
        case 3:
            checkText(SendCommandWithLength(t1.c_str()));
            break;
        case 4:
            checkText(SendCommandEx(handle, t1.c_str()));
            break;
        case 5:
            checkText(SendCommandWithLengthEx(handle, t1.c_str()));
            break;
        case 6:
            SendExtendedCommand(t1.c_str());
            break;
        case 7:
            checkText(StartTransaction(p, p, p, t1.c_str(), p, t2.c_str(), t3.c_str(), p));
            break;
        case 8:
            checkText(SetAcquirerResponse(t1.c_str()));
            break;
        case 9:
            checkText(SetTerminalConfiguration(p, p, p, p, t2.c_str(), t1.c_str(), t3.c_str()));
            checkText(SetApplicationConfiguration(p, p, p, p, t3.c_str(), t1.c_str(), t2.c_str()));
            checkText(SetAcquirerCAPublicKey(p, p, p, p, t2.c_str(), t1.c_str(), t3.c_str()));
            break;
        case 10:
            checkText(GetTerminalConfiguration(p, p, p, t1.c_str()));
            checkText(GetApplicationConfiguration(p, p, p, t1.c_str()));
            checkText(GetAcquirerCAPublicKey(p, p, p, t1.c_str()));
            break;
        case 11:
            checkText(SetDateTime(p, t1.c_str(), p, p, p, p, p, p, p, t3.c_str()));
            break;
        case 12:
            SendData(t1.c_str());
            break;
        case 13:
            SendDataEx(handle, t1.c_str());
            break;
        case 14:
            checkText(STATIC_STRING(t1.c_str()));
            break;
        case 15: {
            // Paths of readers that exist and of readers that do not.
            const unsigned long h = OpenDeviceEx(("HID://" + t1).c_str());
            if (h != 0 && h != b.handle) {
                CloseDeviceEx(h);
            }
            break;
        }
    }
    // Asynchronous workers end before the next input, so every run starts
    // from the same state.
    FUZZ_CHECK(quorin::ReaderSession::instance().waitIdle(std::chrono::seconds(10)));
    return 0;
}
