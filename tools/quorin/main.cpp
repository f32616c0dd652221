// quorin: a command-line tool around libquorin, for people and scripts.
#include <cstring>
#include <exception>
#include <string>

#include "CliError.h"
#include "Commands.h"
#include "Output.h"

using namespace quorin::cli;

namespace {

constexpr const char* VERSION = QUORIN_TOOL_VERSION;

const char* const USAGE =
    "Usage: quorin [--verbose] COMMAND [OPTIONS]\n"
    "\n"
    "Card readers from the command line, through libquorin.\n"
    "\n"
    "Commands:\n"
    "  list    the attached USB readers\n"
    "  info    a reader's serial number, firmware, model, battery level\n"
    "  send    send command texts to a reader, print the answers\n"
    "  watch   print card reads and notifications until interrupted\n"
    "  emv     run an EMV transaction and print its progress\n"
    "  demo    all of the above against a built-in virtual reader\n"
    "\n"
    "Options:\n"
    "  --verbose   let the library's diagnostic lines through to standard error\n"
    "  --version   print the version and exit\n"
    "  -h, --help  this help; `quorin COMMAND --help` for a command's options\n"
    "\n"
    "Readers are named by the paths `quorin list` prints (HID://...) or by a serial\n"
    "path such as SERIAL://PORT=/dev/ttyUSB0,FORMAT=SLIP. Exit status: 0 done,\n"
    "1 failed, 2 bad arguments, 3 the reader was disconnected.\n";

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
        return EXIT_OK;
    }
    if (name == "--version") {
        std::printf("quorin %s\n", VERSION);
        return EXIT_OK;
    }
    const Command* command = nullptr;
    for (const Command& c : COMMANDS) {
        if (name == c.name) {
            command = &c;
        }
    }
    if (command == nullptr) {
        std::fprintf(stderr, "quorin: unknown command '%s' (see quorin --help)\n", name.c_str());
        return EXIT_USAGE;
    }
    Output::instance().capture(verbose);
    try {
        return command->run(Args(args.begin() + 1, args.end()));
    } catch (const CliError& e) {
        std::fprintf(stderr, "quorin %s: %s\n", name.c_str(), e.what());
        return e.status();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "quorin %s: %s\n", name.c_str(), e.what());
        return EXIT_FAILED;
    }
}
