// quorin_soak: 16 readers at once under sustained load, for minutes.
//
//   quorin_soak [--minutes N | --seconds N] [--rate N] [--replug-seconds N]
//
// Readers: 4 plain USB readers and 4 extended-protocol USB readers on the
// virtual bus, 4 serial readers on SLIP, 2 on the Tidelink and 2 on the
// legacy framing, each on a pseudo-terminal. 8 host threads drive two
// readers each (one USB, one serial): swipes, notifications and commands in
// turn as the reader has them (the legacy and Tidelink readers answer
// commands only), at --rate events or commands per second per reader, each reader at most
// SoakReader::WINDOW events ahead of its host. Every reader is pulled out and
// put back every --replug-seconds (staggered), and a reader arrival callback
// is registered throughout.
//
// At the end it prints, per reader and in total, what the models sent, what
// the host callbacks and commands received (each checked against what was
// sent), what the library reported lost, the resident memory and thread
// count at the start and the end, and the CPU time per event. The exit
// status is 0 when everything adds up: every event delivered or reported
// lost, nothing corrupted, every command answered, every unplug reported,
// and no thread of the library left after the readers were closed.
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Quorin.h"
#include "SoakReader.h"
#include "virtualhid/VirtualHid.h"

using namespace quorin_soak;
using Clock = SoakReader::Clock;

namespace {

struct Options {
    double seconds = 600;
    double rate = 50;
    double replugSeconds = 30;
};

bool parse(int argc, char** argv, Options* options) {
    for (int i = 1; i + 1 < argc; i += 2) {
        char* end = nullptr;
        const double value = std::strtod(argv[i + 1], &end);
        if (end == argv[i + 1] || *end != '\0' || !(value > 0)) {
            return false;
        }
        if (std::strcmp(argv[i], "--minutes") == 0) {
            options->seconds = 60 * value;
        } else if (std::strcmp(argv[i], "--seconds") == 0) {
            options->seconds = value;
        } else if (std::strcmp(argv[i], "--rate") == 0) {
            options->rate = value;
        } else if (std::strcmp(argv[i], "--replug-seconds") == 0) {
            options->replugSeconds = value;
        } else {
            return false;
        }
    }
    return argc % 2 == 1;
}

// A field of /proc/self/status ("VmRSS", "Threads"), as a number.
long statusField(const char* field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    const std::string key = std::string(field) + ":";
    while (std::getline(status, line)) {
        if (line.compare(0, key.size(), key) == 0) {
            return std::strtol(line.c_str() + key.size(), nullptr, 10);
        }
    }
    return -1;
}

double cpuSeconds() {
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

std::atomic<uint64_t> g_arrivals{0};
std::atomic<uint64_t> g_removals{0};

void onListChanged(void*, const char*, long change) {
    (change == ZEDRA_DEVICE_ARRIVED ? g_arrivals : g_removals)++;
}

template <typename Cond>
bool waitFor(Cond cond, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (!cond()) {
        if (Clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parse(argc, argv, &options)) {
        std::fprintf(stderr,
                     "usage: quorin_soak [--minutes N | --seconds N] [--rate N] "
                     "[--replug-seconds N]\n");
        return 2;
    }
    // The library's own lines would drown the report.
    setenv("QUORIN_DIAGNOSTICS", "off", 1);
    // A sanitizer's runtime starts a thread of its own with the first thread
    // of the process: it is there before the count is taken.
    std::thread([] {}).join();
    const long threadsBefore = statusField("Threads");

    const SoakReader::Kind kinds[16] = {
        SoakReader::Kind::USB_PLAIN,    SoakReader::Kind::USB_PLAIN,
        SoakReader::Kind::USB_PLAIN,    SoakReader::Kind::USB_PLAIN,
        SoakReader::Kind::USB_EXTENDED, SoakReader::Kind::USB_EXTENDED,
        SoakReader::Kind::USB_EXTENDED, SoakReader::Kind::USB_EXTENDED,
        SoakReader::Kind::SLIP,         SoakReader::Kind::SLIP,
        SoakReader::Kind::SLIP,         SoakReader::Kind::SLIP,
        SoakReader::Kind::TIDELINK,     SoakReader::Kind::TIDELINK,
        SoakReader::Kind::LEGACY,       SoakReader::Kind::LEGACY};
    std::vector<std::unique_ptr<SoakReader>> readers;
    for (int i = 0; i < 16; ++i) {
        readers.push_back(std::make_unique<SoakReader>(i, kinds[i]));
        if (!readers.back()->open()) {
            std::fprintf(stderr, "cannot open %s\n", readers.back()->name().c_str());
            return 1;
        }
    }
    if (OnDeviceListChanged(&onListChanged, nullptr) != 0) {
        std::fprintf(stderr, "cannot watch reader arrivals\n");
        return 1;
    }

    const long rssStart = statusField("VmRSS");
    const long threadsStart = statusField("Threads");
    const double cpuStart = cpuSeconds();
    const auto start = Clock::now();
    const auto end = start + std::chrono::duration_cast<Clock::duration>(
                                 std::chrono::duration<double>(options.seconds));
    const auto period = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(1.0 / options.rate));
    const auto replugPeriod = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(options.replugSeconds));

    std::atomic<uint64_t> stepFailures{0};
    std::atomic<uint64_t> replugFailures{0};
    std::vector<std::thread> hosts;
    for (int t = 0; t < 8; ++t) {
        hosts.emplace_back([&, t] {
            SoakReader* mine[2] = {readers[t].get(), readers[t + 8].get()};
            Clock::time_point nextStep = start;
            Clock::time_point nextReplug[2];
            for (int k = 0; k < 2; ++k) {
                // Staggered: the 16 readers are pulled out one after another.
                nextReplug[k] = start + replugPeriod * (t + 8 * k + 1) / 16;
            }
            while (Clock::now() < end) {
                for (int k = 0; k < 2; ++k) {
                    if (Clock::now() >= nextReplug[k]) {
                        nextReplug[k] += replugPeriod;
                        if (!mine[k]->replug()) {
                            replugFailures++;
                        }
                    }
                    if (!mine[k]->step()) {
                        stepFailures++;
                    }
                }
                nextStep += period;
                std::this_thread::sleep_until(nextStep);
            }
        });
    }
    // Memory after each tenth of the run: after the first the pools and
    // queues have grown to their working size, and then it stays flat.
    std::vector<long> rssTenths;
    for (int k = 1; k <= 10; ++k) {
        std::this_thread::sleep_until(start + (end - start) * k / 10);
        rssTenths.push_back(statusField("VmRSS"));
    }
    for (std::thread& host : hosts) {
        host.join();
    }
    for (auto& reader : readers) {
        if (!reader->waitCaughtUp(std::chrono::milliseconds(10000))) {
            stepFailures++;
        }
    }
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    const double cpu = cpuSeconds() - cpuStart;
    const long rssEnd = statusField("VmRSS");
    const long threadsEnd = statusField("Threads");

    uint64_t usbUnplugs = 0;
    for (auto& reader : readers) {
        if (reader->isUsb()) {
            usbUnplugs += reader->ledger().unplugs;
        }
    }
    // Every USB reader pulled out was reported gone and back.
    const bool listingAddsUp =
        waitFor([&] { return g_removals == usbUnplugs && g_arrivals == usbUnplugs; },
                std::chrono::milliseconds(10000));
    OnDeviceListChanged(nullptr, nullptr);
    for (auto& reader : readers) {
        reader->close();
    }
    std::vector<Ledger> ledgers(readers.size());
    std::vector<std::string> names;
    for (size_t i = 0; i < readers.size(); ++i) {
        ledgers[i].add(readers[i]->ledger());
        names.push_back(readers[i]->name());
    }
    // The serial models' threads go with them; then no thread of the
    // library may be left.
    readers.clear();
    waitFor([&] { return statusField("Threads") <= threadsBefore; },
            std::chrono::milliseconds(15000));
    const long threadsAfter = statusField("Threads");

    std::printf("%-13s %10s %10s %8s %8s %9s %9s %7s %7s %6s\n", "reader", "sent", "delivered",
                "lost", "corrupt", "commands", "answered", "unplugs", "gone", "errors");
    Ledger total;
    for (size_t i = 0; i < ledgers.size(); ++i) {
        const Ledger& l = ledgers[i];
        std::printf("%-13s %10" PRIu64 " %10" PRIu64 " %8" PRIu64 " %8" PRIu64 " %9" PRIu64
                    " %9" PRIu64 " %7" PRIu64 " %7" PRIu64 " %6" PRIu64 "\n",
                    names[i].c_str(), l.eventsSent(), l.eventsDelivered(), l.reportedLost.load(),
                    l.corrupted.load(), l.commandsSent.load(), l.commandsAnswered.load(),
                    l.unplugs.load(), l.disconnects.load(), l.errorCallbacks.load());
        total.add(l);
    }
    const uint64_t handled = total.eventsDelivered() + total.commandsAnswered;
    std::printf("\nran %.1f s: events sent %" PRIu64 " (swipes %" PRIu64 ", notifications %" PRIu64
                "), delivered %" PRIu64 ", reported lost %" PRIu64 ", corrupted %" PRIu64 "\n",
                elapsed, total.eventsSent(), total.swipesSent.load(),
                total.notificationsSent.load(), total.eventsDelivered(), total.reportedLost.load(),
                total.corrupted.load());
    std::printf("commands %" PRIu64 ", answered %" PRIu64 ", failed %" PRIu64 "; unplugs %" PRIu64
                ", reported gone %" PRIu64 "; arrivals %" PRIu64 ", removals %" PRIu64
                " (USB unplugs %" PRIu64 ")\n",
                total.commandsSent.load(), total.commandsAnswered.load(),
                total.commandsFailed.load(), total.unplugs.load(), total.disconnects.load(),
                g_arrivals.load(), g_removals.load(), usbUnplugs);
    std::printf("RSS %ld kB at start, %ld kB at end; after each tenth of the run:", rssStart,
                rssEnd);
    for (long rss : rssTenths) {
        std::printf(" %ld", rss);
    }
    std::printf(" kB\nthreads %ld before opening, %ld at start, %ld at end, %ld after closing\n",
                threadsBefore, threadsStart, threadsEnd, threadsAfter);
    std::printf(
        "CPU %.2f s (%.0f%% of one core), %.1f us per event or command; step waits "
        "that timed out %" PRIu64 ", failed replugs %" PRIu64 "\n",
        cpu, 100.0 * cpu / elapsed, handled > 0 ? 1e6 * cpu / handled : 0.0, stepFailures.load(),
        replugFailures.load());

    const bool addsUp = total.eventsSent() == total.eventsDelivered() + total.reportedLost &&
                        total.corrupted == 0 && total.commandsFailed == 0 &&
                        total.commandsAnswered == total.commandsSent &&
                        total.disconnects == total.unplugs && stepFailures == 0 &&
                        replugFailures == 0 && listingAddsUp && threadsAfter <= threadsBefore;
    std::printf("%s\n", addsUp ? "soak: everything adds up" : "soak: FAILED");
    quorin_sim::VirtualHid::instance().reset();
    return addsUp ? 0 : 1;
}
