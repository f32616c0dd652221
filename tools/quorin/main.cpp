// quorin: a command-line tool around libquorin, for people and scripts.
#include <cerrno>
#include <csignal>
#include <cstring>
#include <exception>
#include <string>

#include "CliError.h"
#include "Commands.h"
#include "Output.h"
#include "Quorin.h"
#include "SafeText.h"

using namespace quorin::cli;

namespace {

constexpr const char* VERSION = QUORIN_TOOL_VERSION;

const char* const USAGE =
    "Usage: quorin [--verbose] [--record FILE] COMMAND [OPTIONS]\n"
    "\n"
    "Card readers from the command line, through libquorin.\n"
    "\n"
    "Commands:\n"
    "  list    the attached USB readers (--follow: and those plugged in or out;\n"
    "          --all: every HID device, and why one is not a listed reader)\n"
    "  info    a reader's serial number, firmware, model, battery level\n"
    "  send    send command texts to a reader, print the answers\n"
    "  watch   print card reads and notifications until interrupted\n"
    "  emv     run an EMV transaction and print its progress\n"
    "  demo    all of the above against a built-in virtual reader\n"
    "\n"
    "Options:\n"
    "  --verbose   let the library's diagnostic lines through to standard error\n"
    "  --record FILE  append what passes the readers' transport to FILE (card data\n"
    "              replaced by a test card), for quorin-sim replay; as QUORIN_RECORD=FILE\n"
    "  --version   print the version and exit\n"
    "  -h, --help  this help; `quorin COMMAND --help` for a command's options\n"
    "\n"
    "Readers are named by the paths `quorin list` prints (HID://...) or by a serial\n"
    "path such as SERIAL://PORT=/dev/ttyUSB0,FORMAT=SLIP.\n"
    "\n"
    "Exit status: 0 done (emv: approved), 1 failed (emv: anything but an approval;\n"
    "also output that cannot be written), 2 bad arguments, 3 the reader was\n"
    "disconnected, 130 interrupted (Ctrl-C, SIGTERM: emv, watch, list --follow).\n";

// The exit status once the output is known to have been written: output
// that was lost (a full disk, a closed pipe) fails the command whatever it
// did. errno holds the write's error when written is false.
int finished(int status, const std::string& name, bool written) {
    if (written) {
        return status;
    }
    std::fprintf(stderr, "quorin %s: cannot write the output: %s\n", name.c_str(),
                 std::strerror(errno != 0 ? errno : EIO));
    return status == EXIT_OK ? EXIT_FAILED : status;
}

struct Command {
    const char* name;
    int (*run)(const Args&);
};

constexpr Command COMMANDS[] = {
    {"list", &runList},   {"info", &runInfo}, {"send", &runSend},
    {"watch", &runWatch}, {"emv", &runEmv},   {"demo", &runDemo},
};

}  // namespace

int main(int argc, char** argv) {
    Args args;
    bool verbose = false;
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        optionsEnded = optionsEnded || arg == "--";
        if (!optionsEnded && arg == "--verbose") {
            verbose = true;
        } else if (!optionsEnded && arg == "--record") {
            if (i + 1 >= argc || argv[i + 1][0] == '\0') {
                std::fputs("quorin: --record needs a FILE\n", stderr);
                return EXIT_USAGE;
            }
            // Read by the library when it opens a reader.
            setenv("QUORIN_RECORD", argv[++i], 1);
        } else {
            args.push_back(arg);
        }
    }
    if (args.empty()) {
        std::fputs(USAGE, stderr);
        return EXIT_USAGE;
    }
    const std::string name = args.front();
    if (name == "-h" || name == "--help" || name == "help") {
        std::fputs(USAGE, stdout);
        return finished(EXIT_OK, name, std::fflush(stdout) == 0 && !std::ferror(stdout));
    }
    if (name == "--version") {
        std::printf("quorin %s (libquorin %s)\n", VERSION, GetLibraryVersion());
        return finished(EXIT_OK, name, std::fflush(stdout) == 0 && !std::ferror(stdout));
    }
    const Command* command = nullptr;
    for (const Command& c : COMMANDS) {
        if (name == c.name) {
            command = &c;
        }
    }
    if (command == nullptr) {
        std::fprintf(stderr, "quorin: unknown command '%s' (see quorin --help)\n",
                     safeText(name).c_str());
        return EXIT_USAGE;
    }
    Output& output = Output::instance();
    // Standard output is the tool's: the library's diagnostic lines go to
    // standard error with --verbose, nowhere otherwise (before any library
    // call, which reads the setting once).
    setenv("QUORIN_DIAGNOSTICS", verbose ? "stderr" : "off", 1);
    // A reader of the output that went away (`quorin emv ... | head -1`) is
    // a write error like any other: the command stops, undoes what it
    // started and says so, instead of being killed midway.
    signal(SIGPIPE, SIG_IGN);
    int status;
    try {
        status = command->run(Args(args.begin() + 1, args.end()));
    } catch (const OutputLost&) {
        status = EXIT_FAILED;  // said once, below, with the write's error
    } catch (const CliError& e) {
        // Messages carry paths and texts of readers: escaped like any output.
        std::fprintf(stderr, "quorin %s: %s\n", name.c_str(), safeText(e.what()).c_str());
        status = e.status();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "quorin %s: %s\n", name.c_str(), safeText(e.what()).c_str());
        status = EXIT_FAILED;
    }
    errno = output.writeError();
    return finished(status, name, output.writeError() == 0);
}
