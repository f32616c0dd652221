// A session recorded with Debian's hidapi on emulated hidraw nodes replays
// on the virtual bus: the quorin tool, run here under umockdev with
// --record, then under `quorin-sim replay` of what it recorded, prints the
// same. Only on the umockdev seam: the tool runs in processes of its own,
// which see the emulated nodes but not this process's virtual bus.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "TestWait.h"
#include "UsbSeam.h"
#include "virtualhid/ExtendedReader.h"
#include "virtualhid/PlainCommandReader.h"

extern char** environ;

using namespace quorin_test;

namespace {

constexpr uint16_t VID = QUORIN_USB_VENDOR_ID;

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// A child process with its output in files; killed if it outlives the test.
class Child {
public:
    // withEmulatedNodes: the child sees umockdev's nodes as this process
    // does; without, neither the preload library nor the testbed go along.
    Child(const std::vector<std::string>& args, const std::string& out, bool withEmulatedNodes)
        : m_out(out) {
        std::vector<std::string> env;
        for (char** e = environ; *e != nullptr; ++e) {
            const std::string entry = *e;
            if (withEmulatedNodes ||
                (entry.rfind("LD_PRELOAD=", 0) != 0 && entry.rfind("UMOCKDEV_DIR=", 0) != 0)) {
                env.push_back(entry);
            }
        }
        // Standard input: a pipe whose end this object writes (type()).
        int input[2] = {-1, -1};
        if (pipe2(input, O_CLOEXEC) != 0) {
            return;
        }
        m_input = input[1];
        posix_spawn_file_actions_t files;
        posix_spawn_file_actions_init(&files);
        posix_spawn_file_actions_adddup2(&files, input[0], 0);
        posix_spawn_file_actions_addopen(&files, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0600);
        const std::string err = out + ".err";
        posix_spawn_file_actions_addopen(&files, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0600);
        // A group of its own: a child that hangs goes with what it started.
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
        std::vector<std::string> argv = args;
        if (posix_spawn(&m_pid, argv[0].c_str(), &files, &attributes, pointers(argv).data(),
                        pointers(env).data()) != 0) {
            m_pid = -1;
        }
        posix_spawnattr_destroy(&attributes);
        posix_spawn_file_actions_destroy(&files);
        ::close(input[0]);
    }
    ~Child() {
        if (m_pid > 0) {
            kill(-m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
        ::close(m_input);
    }
    void type(const char* text) { EXPECT_GT(::write(m_input, text, strlen(text)), 0); }
    bool printed(const std::string& text) {
        return waitUntil([&] { return readFile(m_out).find(text) != std::string::npos; });
    }
    // The exit status, -1 when it did not end in time.
    int status() {
        int status = -1;
        if (m_pid > 0 && waitUntil([&] { return waitpid(m_pid, &status, WNOHANG) == m_pid; },
                                   std::chrono::seconds(30))) {
            m_pid = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        return -1;
    }
    std::string out() const { return readFile(m_out); }
    std::string err() const { return readFile(m_out + ".err"); }

private:
    static std::vector<char*> pointers(std::vector<std::string>& texts) {
        std::vector<char*> out;
        for (std::string& t : texts) {
            out.push_back(&t[0]);
        }
        out.push_back(nullptr);
        return out;
    }

    pid_t m_pid = -1;
    int m_input = -1;
    std::string m_out;
};

TEST(RecordReplay, AToolSessionRecordedHereReplaysOnTheVirtualBus) {
    UsbSeam& seam = UsbSeam::instance();
    seam.reset();
    auto emv = seam.add<quorin_sim::ExtendedReader>(VID, 0x19, std::string("SN-EMV"));
    auto msr = seam.add<quorin_sim::PlainCommandReader>(VID, 0x11, std::string("SN-MSR"));
    ASSERT_TRUE(emv && msr);
    const std::string dir = ::testing::TempDir() + "record-replay-" + std::to_string(getpid());
    struct Row {
        const char* name;
        std::vector<std::string> args;
        // The reader is swiped once the tool watches; in the replay, the
        // swipe is released then (--step), as the pause before it is the
        // test's and not the reader's.
        bool swipe;
    } rows[] = {
        {"emv",
         {"emv", "--device", "HID://SN-EMV", "--amount", "1500", "--select", "1",
          "--acquirer-response", "approve"},
         false},
        {"swipe", {"watch", "--device", "HID://SN-MSR", "--count", "1"}, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string file = dir + "-" + row.name + ".rec";
        std::remove(file.c_str());
        std::vector<std::string> args = {QUORIN_CLI_FILE, "--record", file};
        args.insert(args.end(), row.args.begin(), row.args.end());
        Child recorded(args, file + ".out", true);
        if (row.swipe) {
            ASSERT_TRUE(recorded.printed("Watching")) << recorded.err();
            msr->swipe("%B4111111111111111^DOE/ALEX^3012101000000000000?",
                       ";4111111111111111=30121010000000000000?", "");
        }
        ASSERT_EQ(recorded.status(), 0) << recorded.err();

        args = {QUORIN_SIM_FILE, "replay", row.swipe ? "--step" : "--speed=10", file, "--",
                QUORIN_CLI_FILE};
        args.insert(args.end(), row.args.begin(), row.args.end());
        Child replayed(args, file + ".replay", false);
        if (row.swipe) {
            ASSERT_TRUE(replayed.printed("Watching")) << replayed.err();
            replayed.type("\n");
        }
        EXPECT_EQ(replayed.status(), 0) << replayed.err();
        EXPECT_EQ(replayed.out(), recorded.out());
        // The replay reported its summary alone: every write was in the
        // recording, every read answered, every event of the reader played.
        std::istringstream report(replayed.err());
        std::string line;
        int lines = 0;
        while (std::getline(report, line)) {
            if (line.rfind("quorin-sim replay:", 0) != 0) {
                continue;  // the --step prompt
            }
            ++lines;
            for (const char* text :
                 {"sessions opened", "(0 not in the recording)", "(0 unanswered)", "(0 not)"}) {
                EXPECT_NE(line.find(text), std::string::npos) << line;
            }
        }
        EXPECT_EQ(lines, 1);
        for (const char* suffix : {"", ".out", ".out.err", ".replay", ".replay.err"}) {
            std::remove((file + suffix).c_str());
        }
    }
    seam.reset();
}

}  // namespace
