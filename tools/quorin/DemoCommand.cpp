// quorin demo: the tool against a built-in virtual reader, no hardware and
// no root needed.
//
// The virtual readers come from the virtual USB bus, a stand-in for hidapi
// (libquorin-virtualhid.so.0). The demo runs itself again with
// LD_LIBRARY_PATH pointing at a directory where that library answers to
// hidapi's names, so libquorin loads it instead of the real hidapi. It then
// puts its readers on the bus and scripts them (swipe, unplug) through the
// bus's C control functions, found with dlsym.
#include <dlfcn.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "ArgParser.h"
#include "CliError.h"
#include "Commands.h"
#include "EmvTransaction.h"
#include "EventPrinter.h"
#include "EventQueue.h"
#include "Output.h"
#include "Quorin.h"
#include "ReaderHandle.h"
#include "VirtualBusDir.h"

namespace quorin::cli {

namespace {

constexpr const char* CHILD_MARK = "QUORIN_DEMO_CHILD";
constexpr const char* EMV_SERIAL = "QDEMO-EMV-01";
constexpr const char* MSR_SERIAL = "QDEMO-MSR-02";
constexpr const char* DEMO_READERS = "emv:0x19:QDEMO-EMV-01,plain:0x11:QDEMO-MSR-02";
// A test card: the account number is the usual test number, not a real card.
constexpr const char* TRACK1 = "%B4111111111111111^DEMO/CARDHOLDER^3012101000000000000?";
constexpr const char* TRACK2 = ";4111111111111111=30121010000000000000?";
constexpr int EVENT_WAIT_MS = 5000;

struct Bus {
    int (*reset)();
    int (*configure)(const char*);
    int (*readers)(int*, int);
    int (*swipe)(int, const char*, const char*, const char*);
    int (*unplug)(int);
};

template <class F>
F lookUp(const char* name) {
    return reinterpret_cast<F>(dlsym(RTLD_DEFAULT, name));
}

[[noreturn]] void restartOnVirtualBus(const Args& args) {
    if (std::getenv(CHILD_MARK) != nullptr) {
        throw CliError(EXIT_FAILED, "the virtual USB bus did not load (is " +
                                        std::string(BUS_DIR_VARIABLE) + " right?)");
    }
    std::string dir = virtualBusDirectory();
    if (dir.empty()) {
        throw CliError(EXIT_FAILED,
                       "the virtual USB bus (libquorin-virtualhid.so.0) was not found; "
                       "set " +
                           std::string(BUS_DIR_VARIABLE) + " to its hidapi directory");
    }
    const char* old = std::getenv("LD_LIBRARY_PATH");
    std::string path = dir + (old != nullptr && old[0] != '\0' ? ":" + std::string(old) : "");
    setenv("LD_LIBRARY_PATH", path.c_str(), 1);
    // The demo puts its own readers on the bus.
    unsetenv("QUORIN_VHID_READERS");
    unsetenv("QUORIN_VHID_CONFIG");
    setenv(CHILD_MARK, "1", 1);

    // QUORIN_DIAGNOSTICS, set for this run, goes along.
    std::vector<std::string> argStrings = {"quorin", "demo"};
    argStrings.insert(argStrings.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& s : argStrings) {
        argv.push_back(&s[0]);
    }
    argv.push_back(nullptr);
    std::fflush(stdout);
    execv("/proc/self/exe", argv.data());
    throw CliError(EXIT_FAILED,
                   std::string("cannot restart on the virtual bus: ") + std::strerror(errno));
}

void step(const std::string& title) {
    Output::instance().printf("\n== %s\n", title.c_str());
}

// Waits for an event of the given kind from the reader; throws after the
// bounded wait.
ReaderEvent waitFor(unsigned long handle, ReaderEvent::Kind kind, const char* what) {
    EventQueue& events = EventQueue::instance();
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(EVENT_WAIT_MS);
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        ReaderEvent e;
        EventQueue::Wake wake =
            events.wait(static_cast<int>(std::max<long long>(0, left.count())), &e);
        if (wake == EventQueue::Wake::SIGNAL) {
            throw CliError(EXIT_INTERRUPTED, "interrupted");
        }
        if (wake == EventQueue::Wake::TIMEOUT) {
            throw CliError(EXIT_FAILED, std::string("the virtual reader sent no ") + what);
        }
        if (wake == EventQueue::Wake::EVENT && e.handle == handle && e.kind == kind) {
            return e;
        }
    }
}

// Closes the reader and prints what it sent that the demo has not taken:
// the close waits for the callbacks in flight, so this is all of it.
void closeAndPrintRest(ReaderHandle& reader, const EventPrinter& printer) {
    const unsigned long handle = reader.handle();
    reader.close();
    for (const ReaderEvent& e : EventQueue::instance().takeAll(handle)) {
        printer.event(e);
    }
}

}  // namespace

int runDemo(const Args& args) {
    ArgParser parser(
        "quorin demo",
        "Runs the tool against two built-in virtual readers (a magnetic-stripe reader\n"
        "and an EMV reader): lists them, opens one, prints its information, decodes a\n"
        "swipe, runs a whole EMV transaction and unplugs a reader. No hardware and no\n"
        "root needed; nothing touches real devices.");
    parser.parse(args);
    if (parser.helpRequested()) {
        Output::instance().write(parser.helpText());
        return EXIT_OK;
    }
    Bus bus{lookUp<decltype(Bus::reset)>("quorin_vhid_reset"),
            lookUp<decltype(Bus::configure)>("quorin_vhid_configure"),
            lookUp<decltype(Bus::readers)>("quorin_vhid_readers"),
            lookUp<decltype(Bus::swipe)>("quorin_vhid_swipe"),
            lookUp<decltype(Bus::unplug)>("quorin_vhid_unplug")};
    if (bus.reset == nullptr || bus.configure == nullptr || bus.readers == nullptr ||
        bus.swipe == nullptr || bus.unplug == nullptr) {
        restartOnVirtualBus(args);
    }
    // The demo's own readers, whatever the bus held before.
    bus.reset();
    if (bus.configure(DEMO_READERS) != 2) {
        throw CliError(EXIT_FAILED, "the demo readers could not be put on the virtual bus");
    }
    EventQueue::instance().catchSignals();
    EventPrinter printer(false);
    Output& out = Output::instance();
    out.line("Quorin demo: two virtual USB readers stand in for hardware.");

    step("quorin list: the attached readers");
    runList({});
    int ids[2] = {0, 0};
    if (bus.readers(ids, 2) != 2) {
        throw CliError(EXIT_FAILED, "the virtual bus does not hold the two demo readers");
    }
    const int emvId = ids[0];
    const int msrId = ids[1];
    const std::string emvPath = std::string("HID://") + EMV_SERIAL;
    const std::string msrPath = std::string("HID://") + MSR_SERIAL;

    step("quorin info --device " + emvPath);
    runInfo({"--device", emvPath});

    step("quorin watch --device " + msrPath + ": a card is swiped");
    {
        ReaderHandle reader(msrPath);
        EventQueue::instance().registerCallbacks(reader.handle());
        out.printf("Opened %s (handle %lu). Swiping a test card...\n", msrPath.c_str(),
                   reader.handle());
        if (bus.swipe(msrId, TRACK1, TRACK2, nullptr) != 0) {
            throw CliError(EXIT_FAILED, "the virtual reader refused the swipe");
        }
        ReaderEvent e = waitFor(reader.handle(), ReaderEvent::CARD_DATA, "card data");
        CardFields card;
        if (!CardFields::parse(e.text, &card)) {
            throw CliError(EXIT_FAILED, "the card data could not be split into fields");
        }
        printer.card(card);
        closeAndPrintRest(reader, printer);
    }

    step("quorin emv --device " + emvPath +
         " --amount 1500 --select 1 --acquirer-response approve");
    {
        ReaderHandle reader(emvPath);
        EmvOptions options;
        options.amount = "1500";
        options.select = 1;
        options.acquirerResponse = "approve";
        EmvTransaction transaction(reader, options, printer);
        transaction.run();  // closes the reader once the result is in
    }

    step("The EMV reader is unplugged while open");
    {
        ReaderHandle reader(emvPath);
        EventQueue::instance().registerCallbacks(reader.handle());
        if (bus.unplug(emvId) != 0) {
            throw CliError(EXIT_FAILED, "the virtual reader could not be unplugged");
        }
        waitFor(reader.handle(), ReaderEvent::CONNECTION, "disconnection");
        printer.disconnected(emvPath);
        closeAndPrintRest(reader, printer);
    }

    out.line(
        "\nDemo finished: a decoded swipe and an approved EMV transaction, from virtual readers.");
    out.line("Next: `quorin --help`, `quorin-sim serial` for a reader on a serial port, and the");
    out.line("examples/ directory for host programs.");
    return EXIT_OK;
}

}  // namespace quorin::cli
