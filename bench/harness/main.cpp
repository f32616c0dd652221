// quorin_timing: end-to-end timings of the library against the virtual
// readers, each next to a baseline measured in the same run.
//
//   quorin_timing [--quick] [--json] [--scenario N]... [--seed N]
//
// Scenarios: 1 swipe to callback (virtual USB reader), 2 idle cost of open
// readers, 3 serial command round trip on a pseudo-terminal, 4 extended
// protocol exchange (virtual EMV reader), 5 the reader monitor's thread. Every figure is a run of
// the real code paths; the library's own chatter on standard output is discarded and the results
// are printed on the original standard output. The exit status is 0 when every scenario ran and met
// its targets, 1 otherwise, 2 on bad usage.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "ExtendedScenario.h"
#include "IdleScenario.h"
#include "MonitorIdleScenario.h"
#include "Options.h"
#include "Report.h"
#include "SerialScenario.h"
#include "SwipeScenario.h"

using namespace quorin_bench;

namespace {

void usage(FILE* out) {
    std::fprintf(out,
                 "usage: quorin_timing [--quick] [--json] [--scenario N]... [--seed N]\n"
                 "  --quick       fewer repetitions\n"
                 "  --json        results as JSON instead of a table\n"
                 "  --scenario N  run scenario N only (1 swipe, 2 idle, 3 serial, 4 extended,\n"
                 "                5 reader monitor);\n"
                 "                may be repeated\n"
                 "  --seed N      seed of the push-moment generator\n");
}

bool parse(int argc, char** argv, Options* options) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--quick") {
            options->quick = true;
        } else if (arg == "--json") {
            options->json = true;
        } else if ((arg == "--scenario" || arg == "--seed") && i + 1 < argc) {
            char* end = nullptr;
            unsigned long value = std::strtoul(argv[++i], &end, 10);
            if (end == argv[i] || *end != '\0') {
                return false;
            }
            if (arg == "--seed") {
                options->seed = static_cast<unsigned int>(value);
            } else if (value >= 1 && value <= 5) {
                options->scenarios.insert(static_cast<int>(value));
            } else {
                return false;
            }
        } else {
            return false;
        }
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (argc > 1 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        usage(stdout);
        return 0;
    }
    if (!parse(argc, argv, &options)) {
        usage(stderr);
        return 2;
    }

    // The library prints progress of its own on standard output; the
    // results keep the original standard output to themselves.
    std::fflush(stdout);
    int resultsFd = dup(STDOUT_FILENO);
    FILE* results = resultsFd >= 0 ? fdopen(resultsFd, "w") : nullptr;
    int devNull = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (results == nullptr || devNull < 0 || dup2(devNull, STDOUT_FILENO) < 0) {
        std::fprintf(stderr, "quorin_timing: cannot set up the output\n");
        return 2;
    }
    close(devNull);

    progress("%s run, seed %u; figures depend on the machine's load",
             options.quick ? "quick" : "full", options.seed);
    Report report;
    if (options.wants(1)) {
        report.add(SwipeScenario(options).run());
    }
    if (options.wants(2)) {
        report.add(IdleScenario(options).run());
    }
    if (options.wants(3)) {
        report.add(SerialScenario(options).run());
    }
    if (options.wants(4)) {
        report.add(ExtendedScenario(options).run());
    }
    if (options.wants(5)) {
        report.add(MonitorIdleScenario(options).run());
    }
    std::fflush(stdout);
    if (options.json) {
        report.printJson(results, options.quick);
    } else {
        std::fprintf(results, "quorin_timing (%s run): medians with p10/p90, min/max and counts\n",
                     options.quick ? "quick" : "full");
        report.printText(results);
    }
    std::fclose(results);
    return report.allMet() ? 0 : 1;
}
