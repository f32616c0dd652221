// quorin-sim: virtual card readers for trying and testing host programs
// without hardware.
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "ArgParser.h"
#include "CliError.h"
#include "Recording.h"
#include "SafeText.h"
#include "SerialReplay.h"
#include "SerialSimulator.h"
#include "VirtualBusDir.h"
#include "virtualhid/VirtualHidConfig.h"

using quorin::cli::ArgParser;
using quorin::cli::CliError;
using quorin_sim::PtyReader;
using quorin_sim::SerialSimulator;
using quorin_sim::VirtualHidConfig;

namespace {

const char* const USAGE =
    "Usage: quorin-sim serial [--format SLIP|LEGACY|TIDELINK] [--swipe-every S] [--serial SN]\n"
    "       quorin-sim usb [--readers ENTRIES] [-- COMMAND [ARGS...]]\n"
    "       quorin-sim replay FILE [--speed X] [--step] [-- COMMAND [ARGS...]]\n"
    "\n"
    "Virtual card readers. `quorin-sim COMMAND --help` for the options.\n";

int g_signalPipe[2] = {-1, -1};
volatile sig_atomic_t g_signal = 0;

void wake() {
    int saved = errno;
    char byte = 1;
    ssize_t ignored = write(g_signalPipe[1], &byte, 1);
    (void)ignored;
    errno = saved;
}

void onSignal(int signal) {
    g_signal = signal;
    wake();
}

// SIGCONT: the job was moved to the foreground or background; the loop looks
// again whether it may read the terminal.
void onContinue(int) {
    wake();
}

void catchSignals() {
    if (pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        throw CliError(quorin::cli::EXIT_FAILED, "no pipe for signals");
    }
    struct sigaction action = {};
    action.sa_handler = &onSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    action.sa_handler = &onContinue;
    sigaction(SIGCONT, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
    // A background job must never be stopped: it would stop answering its
    // host. The terminal is read only in the foreground (see Input), and
    // messages to it go out from the background too.
    signal(SIGTTIN, SIG_IGN);
    signal(SIGTTOU, SIG_IGN);
}

// Where the commands typed to the simulator come from.
//  - A terminal: read only while the simulator is its foreground job, so
//    `quorin-sim serial &` in an interactive shell leaves the shell's input
//    alone. End of input (Ctrl-D) ends the simulator.
//  - /dev/null, or no standard input: nothing to read; the simulator runs
//    until a signal (`quorin-sim serial </dev/null &`).
//  - Anything else (a pipe, a file): read; its end ends the simulator.
class Input {
public:
    Input() {
        struct stat in;
        struct stat null;
        if (fstat(STDIN_FILENO, &in) != 0) {
            m_kind = Kind::NONE;
        } else if (isatty(STDIN_FILENO)) {
            m_kind = Kind::TERMINAL;
        } else if (S_ISCHR(in.st_mode) && stat("/dev/null", &null) == 0 &&
                   in.st_rdev == null.st_rdev) {
            m_kind = Kind::NONE;
        } else {
            m_kind = Kind::STREAM;
        }
    }

    // The descriptor to wait on now, or -1.
    int pollable() const {
        if (m_kind == Kind::NONE || m_ended) {
            return -1;
        }
        if (m_kind == Kind::TERMINAL && tcgetpgrp(STDIN_FILENO) != getpgrp()) {
            return -1;
        }
        return STDIN_FILENO;
    }

    enum class Read { CHAR, NOTHING, END };
    Read read(char* c) {
        ssize_t n = ::read(STDIN_FILENO, c, 1);
        if (n == 1) {
            return Read::CHAR;
        }
        // EIO: moved to the background between the look and the read.
        if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EIO)) {
            return Read::NOTHING;
        }
        m_ended = true;
        return Read::END;
    }

    // Reads one character of the line being typed. LINE: a whole line came,
    // in *line. Only its first MAX_LINE characters are kept: the commands
    // are a letter or none, and input that never ends a line cannot grow
    // the tool.
    enum class Line { LINE, NOTHING, END };
    Line readLine(std::string* line) {
        char c = 0;
        switch (read(&c)) {
            case Read::END:
                return Line::END;
            case Read::NOTHING:
                return Line::NOTHING;
            case Read::CHAR:
                break;
        }
        if (c != '\n') {
            if (m_line.size() < MAX_LINE) {
                m_line += c;
            }
            return Line::NOTHING;
        }
        line->swap(m_line);
        m_line.clear();
        return Line::LINE;
    }

private:
    static constexpr size_t MAX_LINE = 64;
    enum class Kind { NONE, TERMINAL, STREAM };
    Kind m_kind = Kind::NONE;
    bool m_ended = false;
    std::string m_line;
};

struct ReplayScriptOptions {
    double speed = 1.0;
    bool step = false;
};

PtyReader::Framing framingOf(const std::string& name) {
    if (name == "SLIP" || name == "slip") {
        return PtyReader::Framing::SLIP;
    }
    if (name == "LEGACY" || name == "legacy") {
        return PtyReader::Framing::LEGACY;
    }
    if (name == "TIDELINK" || name == "tidelink") {
        return PtyReader::Framing::TIDELINK;
    }
    throw quorin::cli::usageError("--format must be SLIP, LEGACY or TIDELINK, not '" + name + "'");
}

// One line to standard error. Reports name a recording's readers by the
// serial numbers and paths written in it: untrusted, so escaped.
void say(const std::string& text) {
    std::fprintf(stderr, "%s\n", quorin::cli::safeText(text).c_str());
    std::fflush(stderr);
}

int runSerial(const std::vector<std::string>& args) {
    ArgParser parser(
        "quorin-sim serial [--format SLIP|LEGACY|TIDELINK] [--swipe-every S] [--serial SN]",
        "Plays an EMV card reader on a pseudo-terminal and prints, as its first line on\n"
        "standard output, the SERIAL:// path a host opens. The reader answers commands, runs\n"
        "a scripted EMV transaction (status, display message, menu, ARQC, result) when a\n"
        "host starts one, and swipes a test card on Enter or every S seconds. Type h and\n"
        "Enter to hang the line up (an unplugged reader), q and Enter to quit; SIGINT and\n"
        "SIGTERM quit too, and so does the end of standard input. A terminal is read only\n"
        "while the simulator is its foreground job; to run it in the background of a\n"
        "script, give it no input: quorin-sim serial </dev/null & (it then runs until a\n"
        "signal). LEGACY framing carries no notifications (no EMV) and TIDELINK no card\n"
        "data (no swipes).");
    parser.option("format", "F", "Line framing: SLIP (default), LEGACY or TIDELINK.");
    parser.option("swipe-every", "S", "Swipe the test card every S seconds.");
    parser.option("serial", "SN", "Serial number of the reader (default SIM0001).");
    parser.parse(args);
    if (parser.helpRequested()) {
        std::fputs(parser.helpText().c_str(), stdout);
        return 0;
    }
    PtyReader::Framing framing = framingOf(parser.value("format", "SLIP"));
    long every = parser.number("swipe-every", 0, 1, 86400);

    catchSignals();
    SerialSimulator sim(framing, parser.value("serial", "SIM0001"));
    std::string error;
    if (!sim.start(&error)) {
        throw CliError(quorin::cli::EXIT_FAILED, error);
    }
    std::printf("%s\n", sim.path().c_str());
    std::fflush(stdout);
    say("Virtual serial reader ready. Enter: swipe, h: hang up, q: quit.");

    Input input;
    std::string line;
    int pending = every > 0 ? static_cast<int>(every * 1000) : -1;
    for (;;) {
        struct pollfd fds[2] = {{g_signalPipe[0], POLLIN, 0}, {input.pollable(), POLLIN, 0}};
        int ready = poll(fds, 2, pending);
        if (g_signal != 0) {
            break;
        }
        if (ready == 0 && every > 0) {
            say(sim.swipe() ? "Card swiped." : "The swipe did not go out.");
            continue;
        }
        if (fds[0].revents & POLLIN) {
            char drain[16];
            while (read(g_signalPipe[0], drain, sizeof(drain)) > 0) {
            }
        }
        if (ready <= 0 || fds[1].fd < 0 || (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) == 0) {
            continue;
        }
        const Input::Line got = input.readLine(&line);
        if (got == Input::Line::END) {
            break;  // end of input ends the simulator
        }
        if (got == Input::Line::NOTHING) {
            continue;
        }
        if (line == "q") {
            break;
        }
        if (line == "h") {
            sim.hangUp();
            say("Line hung up.");
        } else {
            say(sim.swipe() ? "Card swiped." : "The swipe did not go out.");
        }
    }
    sim.stop();
    return 0;
}

// LD_LIBRARY_PATH with the virtual bus's hidapi directory in front.
std::string busLibraryPath() {
    std::string dir = quorin::cli::virtualBusDirectory();
    if (dir.empty()) {
        throw CliError(quorin::cli::EXIT_FAILED, "the virtual USB bus was not found; set " +
                                                     std::string(quorin::cli::BUS_DIR_VARIABLE));
    }
    const char* old = std::getenv("LD_LIBRARY_PATH");
    return dir + (old != nullptr && old[0] != '\0' ? ":" + std::string(old) : "");
}

// The replayed readers' reports, escaped where they were written.
void relay(int fd) {
    char buffer[4096];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof(buffer))) > 0) {
        ssize_t ignored = write(STDERR_FILENO, buffer, static_cast<size_t>(n));
        (void)ignored;
    }
}

// Runs command with the recording's USB readers on the virtual bus in its
// process: the bus reads the recording itself (QUORIN_VHID_REPLAY) and
// reports through a pipe, which this process relays to standard error; in
// step mode each Enter typed here releases the next event through another.
int replayUsb(const std::string& file, const ReplayScriptOptions& options,
              std::vector<std::string> command) {
    int reports[2];
    int steps[2] = {-1, -1};
    if (pipe2(reports, O_CLOEXEC) != 0 || (options.step && pipe2(steps, O_CLOEXEC) != 0)) {
        throw CliError(quorin::cli::EXIT_FAILED, "no pipe");
    }
    const std::string libraryPath = busLibraryPath();
    std::fflush(stdout);
    pid_t child = fork();
    if (child < 0) {
        throw CliError(quorin::cli::EXIT_FAILED, std::string("fork: ") + std::strerror(errno));
    }
    if (child == 0) {
        fcntl(reports[1], F_SETFD, 0);
        setenv("QUORIN_VHID_REPLAY_REPORT_FD", std::to_string(reports[1]).c_str(), 1);
        if (options.step) {
            fcntl(steps[0], F_SETFD, 0);
            setenv("QUORIN_VHID_REPLAY_STEP_FD", std::to_string(steps[0]).c_str(), 1);
        } else {
            unsetenv("QUORIN_VHID_REPLAY_STEP_FD");
        }
        setenv("LD_LIBRARY_PATH", libraryPath.c_str(), 1);
        setenv("QUORIN_VHID_REPLAY", file.c_str(), 1);
        setenv("QUORIN_VHID_REPLAY_SPEED", std::to_string(options.speed).c_str(), 1);
        unsetenv("QUORIN_VHID_READERS");
        unsetenv("QUORIN_VHID_CONFIG");
        std::vector<char*> argv;
        for (std::string& a : command) {
            argv.push_back(&a[0]);
        }
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        std::fprintf(stderr, "quorin-sim replay: cannot run %s: %s\n", command[0].c_str(),
                     std::strerror(errno));
        _exit(127);
    }
    close(reports[1]);
    if (options.step) {
        close(steps[0]);
        say("Replaying: Enter releases the next event the reader sends by itself.");
    }
    Input input;
    for (;;) {
        struct pollfd fds[2] = {{reports[0], POLLIN, 0},
                                {options.step ? input.pollable() : -1, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        if (fds[0].revents != 0) {
            char buffer[4096];
            ssize_t n = read(reports[0], buffer, sizeof(buffer));
            if (n <= 0) {
                break;  // every writer closed it: the command has ended
            }
            ssize_t ignored = write(STDERR_FILENO, buffer, static_cast<size_t>(n));
            (void)ignored;
        }
        if (fds[1].fd >= 0 && (fds[1].revents & (POLLIN | POLLHUP))) {
            char c = 0;
            if (input.read(&c) == Input::Read::CHAR && c == '\n') {
                char one = 1;
                ssize_t ignored = write(steps[1], &one, 1);
                (void)ignored;
            }
        }
    }
    relay(reports[0]);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

int replaySerial(const quorin_sim::Recording& recording, const ReplayScriptOptions& options,
                 const std::vector<std::string>& command) {
    catchSignals();
    std::vector<std::unique_ptr<quorin_sim::SerialReplay>> players;
    for (const auto& device : recording.devices) {
        if (!device.serial) {
            continue;
        }
        auto player = std::make_unique<quorin_sim::SerialReplay>(
            device, quorin_sim::ReplayScript::Options{options.speed, options.step},
            [](const std::string& text) { say("quorin-sim replay: " + text); });
        std::string error;
        if (!player->start(&error)) {
            throw CliError(quorin::cli::EXIT_FAILED, error);
        }
        std::printf("%s\n", player->path().c_str());
        players.push_back(std::move(player));
    }
    std::fflush(stdout);
    int status = 0;
    if (!command.empty()) {
        // "{}" in the command stands for the first reader's path.
        std::vector<std::string> args = command;
        for (std::string& a : args) {
            if (a == "{}") {
                a = players.front()->path();
            }
        }
        pid_t child = fork();
        if (child < 0) {
            throw CliError(quorin::cli::EXIT_FAILED, std::string("fork: ") + std::strerror(errno));
        }
        if (child == 0) {
            std::vector<char*> argv;
            for (std::string& a : args) {
                argv.push_back(&a[0]);
            }
            argv.push_back(nullptr);
            execvp(argv[0], argv.data());
            std::fprintf(stderr, "quorin-sim replay: cannot run %s: %s\n", args[0].c_str(),
                         std::strerror(errno));
            _exit(127);
        }
        while (child > 0 && waitpid(child, &status, 0) < 0 && errno == EINTR) {
        }
        status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    } else {
        say(options.step ? "Replaying: Enter releases the next event, q quits."
                         : "Replaying; q and Enter, or Ctrl-C, quit.");
        Input input;
        std::string line;
        for (;;) {
            struct pollfd fds[2] = {{g_signalPipe[0], POLLIN, 0}, {input.pollable(), POLLIN, 0}};
            int ready = poll(fds, 2, -1);
            if (g_signal != 0) {
                break;
            }
            if (ready <= 0 || fds[1].fd < 0 ||
                (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) == 0) {
                continue;
            }
            const Input::Line got = input.readLine(&line);
            if (got == Input::Line::END) {
                break;
            }
            if (got == Input::Line::NOTHING) {
                continue;
            }
            if (line == "q") {
                break;
            }
            for (auto& p : players) {
                p->script().step();
            }
        }
    }
    for (auto& p : players) {
        say("quorin-sim replay: " + p->script().summary());
    }
    return status;
}

int runReplay(const std::vector<std::string>& args) {
    ArgParser parser(
        "quorin-sim replay FILE [--speed X] [--step] [-- COMMAND [ARGS...]]",
        "Plays the readers of a recording (QUORIN_RECORD=FILE, or quorin --record FILE) as\n"
        "virtual readers. USB readers go on the virtual USB bus of COMMAND, as with\n"
        "quorin-sim usb; serial readers on pseudo-terminals, whose SERIAL:// paths are\n"
        "printed first ({} in COMMAND stands for the first). Each command a host writes\n"
        "is answered with what followed the same command in the recording; what the\n"
        "reader sent by itself (swipes, notifications, an unplug) comes at its recorded\n"
        "time after what preceded it. What the recording cannot answer is reported on\n"
        "standard error, never made up, and so is a summary at the end.");
    parser.option("speed", "X", "Play the recorded pauses X times as fast (default 1).");
    parser.flag("step", "Release each event the reader sends by itself on Enter.");
    parser.positionals("FILE [-- COMMAND]", "The recording, then the program to run.");
    parser.parse(args);
    if (parser.helpRequested()) {
        std::fputs(parser.helpText().c_str(), stdout);
        return 0;
    }
    std::vector<std::string> rest = parser.args();
    if (rest.empty()) {
        throw quorin::cli::usageError("a recording FILE is needed");
    }
    ReplayScriptOptions options;
    options.speed = std::strtod(parser.value("speed", "1").c_str(), nullptr);
    if (!(options.speed > 0 && options.speed <= 1000000)) {
        throw quorin::cli::usageError("--speed must be a number above 0");
    }
    options.step = parser.has("step");
    char resolved[PATH_MAX];
    const std::string file = realpath(rest[0].c_str(), resolved) != nullptr ? resolved : rest[0];
    rest.erase(rest.begin());
    quorin_sim::Recording recording;
    std::string error;
    if (!quorin_sim::Recording::load(file, &recording, &error)) {
        throw CliError(quorin::cli::EXIT_FAILED, error);
    }
    bool usb = false;
    bool serial = false;
    for (const auto& d : recording.devices) {
        (d.serial ? serial : usb) = true;
    }
    for (const std::string& p : recording.problems) {
        say("quorin-sim replay: " + p);
    }
    if (!usb && !serial) {
        throw CliError(quorin::cli::EXIT_FAILED, file + " holds no reader");
    }
    if (serial) {
        if (usb) {
            say("quorin-sim replay: the recording's USB readers are not played with its serial "
                "ones");
        }
        return replaySerial(recording, options, rest);
    }
    if (rest.empty()) {
        std::printf("export LD_LIBRARY_PATH='%s'\nexport QUORIN_VHID_REPLAY='%s'\n",
                    busLibraryPath().c_str(), file.c_str());
        return 0;
    }
    return replayUsb(file, options, rest);
}

int runUsb(const std::vector<std::string>& args) {
    ArgParser parser(
        "quorin-sim usb [--readers ENTRIES] [-- COMMAND [ARGS...]]",
        "Runs COMMAND against virtual USB readers: with LD_LIBRARY_PATH pointing at the\n"
        "virtual USB bus, which stands in for hidapi, and QUORIN_VHID_READERS set to\n"
        "ENTRIES. Without a COMMAND, prints those two settings as shell commands, for\n"
        "eval \"$(quorin-sim usb)\". An entry is MODEL:PID[:SERIAL[:VID]] with MODEL plain\n"
        "(magnetic-stripe reader) or emv; entries are separated by commas.");
    parser.option("readers", "ENTRIES", "The readers (default emv:0x19:SIM0001).");
    parser.positionals("COMMAND", "The program to run, and its arguments.");
    parser.parse(args);
    if (parser.helpRequested()) {
        std::fputs(parser.helpText().c_str(), stdout);
        return 0;
    }
    std::string dir = quorin::cli::virtualBusDirectory();
    if (dir.empty()) {
        throw CliError(quorin::cli::EXIT_FAILED, "the virtual USB bus was not found; set " +
                                                     std::string(quorin::cli::BUS_DIR_VARIABLE));
    }
    std::string readers = parser.value("readers", "emv:0x19:SIM0001");
    // The bus would skip an entry it cannot read with a warning the program
    // run on it may hide: refused here, before anything runs.
    for (const std::string& entry : VirtualHidConfig::splitEntries(readers)) {
        std::string error;
        if (!VirtualHidConfig::parseEntry(entry, &error)) {
            throw quorin::cli::usageError("--readers: '" + entry + "': " + error);
        }
    }
    const char* old = std::getenv("LD_LIBRARY_PATH");
    std::string libraryPath =
        dir + (old != nullptr && old[0] != '\0' ? ":" + std::string(old) : "");
    if (parser.args().empty()) {
        std::printf("export LD_LIBRARY_PATH='%s'\nexport QUORIN_VHID_READERS='%s'\n",
                    libraryPath.c_str(), readers.c_str());
        return 0;
    }
    setenv("LD_LIBRARY_PATH", libraryPath.c_str(), 1);
    setenv("QUORIN_VHID_READERS", readers.c_str(), 1);
    std::vector<std::string> command = parser.args();
    std::vector<char*> argv;
    for (std::string& s : command) {
        argv.push_back(&s[0]);
    }
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    throw CliError(127, "cannot run " + command[0] + ": " + std::strerror(errno));
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty()) {
        std::fputs(USAGE, stderr);
        return 2;
    }
    std::string name = args.front();
    args.erase(args.begin());
    try {
        if (name == "serial") {
            return runSerial(args);
        }
        if (name == "usb") {
            return runUsb(args);
        }
        if (name == "replay") {
            return runReplay(args);
        }
        if (name == "-h" || name == "--help") {
            std::fputs(USAGE, stdout);
            return 0;
        }
        if (name == "--version") {
            std::printf("quorin-sim %s\n", QUORIN_TOOL_VERSION);
            return 0;
        }
        std::fprintf(stderr, "quorin-sim: unknown command '%s' (see quorin-sim --help)\n",
                     name.c_str());
        return 2;
    } catch (const CliError& e) {
        std::fprintf(stderr, "quorin-sim %s: %s\n", name.c_str(), e.what());
        return e.status();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "quorin-sim %s: %s\n", name.c_str(), e.what());
        return 1;
    }
}
