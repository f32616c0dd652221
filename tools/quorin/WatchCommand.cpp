// quorin watch: print swipes and notifications as they arrive.
#include "ArgParser.h"
#include "CliError.h"
#include "Commands.h"
#include "EventPrinter.h"
#include "EventQueue.h"
#include "Output.h"
#include "Quorin.h"
#include "ReaderHandle.h"
#include "ReaderModels.h"

namespace quorin::cli {

namespace {

class Watch {
public:
    Watch(const EventPrinter& printer, long count) : m_printer(printer), m_count(count) {}

    // Prints one event of the reader (card reads only up to the count);
    // false once the count of card reads is reached.
    bool print(const ReaderEvent& e) {
        if (e.kind == ReaderEvent::CARD_DATA) {
            if (m_count > 0 && m_cards >= m_count) {
                return false;
            }
            ++m_cards;
        }
        m_printer.event(e);
        return m_count == 0 || m_cards < m_count;
    }

private:
    const EventPrinter& m_printer;
    const long m_count;
    long m_cards = 0;
};

bool isDisconnection(const ReaderEvent& e) {
    return e.kind == ReaderEvent::CONNECTION && e.state == ZEDRA_STATE_DISCONNECTED;
}

}  // namespace

int runWatch(const Args& args) {
    ArgParser parser(
        "quorin watch [--device PATH] [--count N] [--show-card-data] [--json]",
        "Opens a reader and prints every card read (masked tracks, PAN as the reader masked\n"
        "it, names, expiry date, KSN, encode type, decode statuses) and every notification\n"
        "as it arrives, until interrupted (Ctrl-C, SIGTERM: exit status 130), then closes the\n"
        "reader.\n"
        "Clear and encrypted track data are never printed. A masked field is printed only\n"
        "when it carries masking (at most the first six and last four digits of the\n"
        "account number clear, a mask character for the others); any other is listed\n"
        "with its length. In notifications the values of EMV tags that carry clear card\n"
        "data (5A, 56, 57, 9F6B, 5F20, 9F1F, 9F20) are replaced by '*' and listed with\n"
        "their lengths, and so is everything from the first element that is not\n"
        "well-formed TLV. When the reader is unplugged the command says so and exits\n"
        "with status 3.");
    parser.option("device", "PATH", "The reader to open (default: the first attached reader).");
    parser.option("count", "N", "Stop after N card reads.");
    parser.flag("show-card-data",
                "Print the fields of a card read the reader did not mask, and the values "
                "withheld from notifications.");
    parser.flag("json", "Print one JSON object per event and line.");
    parser.parse(args);
    if (parser.helpRequested()) {
        Output::instance().write(parser.helpText());
        return EXIT_OK;
    }
    long count = parser.number("count", 0, 1, 1000000);
    EventPrinter printer(parser.has("json"), parser.has("show-card-data"));

    EventQueue& events = EventQueue::instance();
    events.catchSignals();
    ReaderHandle reader(parser.value("device"));
    const unsigned long handle = reader.handle();
    events.registerCallbacks(handle);
    std::string model =
        reader.isSerial() ? std::string("serial reader") : modelName(reader.productId());
    printer.message("watching", "Watching " + reader.path() +
                                    (model.empty() ? "" : " (" + model + ")") +
                                    ". Swipe a card; Ctrl-C stops.");

    Watch watch(printer, count);
    bool disconnected = false;
    bool interrupted = false;
    bool more = true;
    while (more && !disconnected) {
        ReaderEvent e;
        EventQueue::Wake wake = events.wait(-1, &e);
        if (wake == EventQueue::Wake::SIGNAL) {
            interrupted = true;
            break;
        }
        if (wake != EventQueue::Wake::EVENT || e.handle != handle) {
            continue;
        }
        disconnected = isDisconnection(e);
        more = watch.print(e);
    }
    // The close waits for the callbacks in flight; what they queued is
    // printed before the command ends, the disconnection last.
    reader.close();
    for (const ReaderEvent& e : events.takeAll(handle)) {
        disconnected = disconnected || isDisconnection(e);
        watch.print(e);
    }
    if (disconnected) {
        printer.disconnected(reader.path());
        throw CliError(EXIT_DISCONNECTED, "the reader was disconnected");
    }
    printer.message("stopped", "Stopped; the reader is closed.");
    return interrupted ? EXIT_INTERRUPTED : EXIT_OK;
}

}  // namespace quorin::cli
