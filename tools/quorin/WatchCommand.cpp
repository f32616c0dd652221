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

int runWatch(const Args& args) {
    ArgParser parser(
        "quorin watch [--device PATH] [--count N] [--json]",
        "Opens a reader and prints every card read (masked tracks, PAN as the reader masked\n"
        "it, names, expiry date, KSN, encode type, decode statuses) and every notification\n"
        "as it arrives, until interrupted (Ctrl-C, SIGTERM), then closes the reader.\n"
        "Clear and encrypted track data are never printed. When the reader is unplugged the\n"
        "command says so and exits with status 3.");
    parser.option("device", "PATH", "The reader to open (default: the first attached reader).");
    parser.option("count", "N", "Stop after N card reads.");
    parser.flag("json", "Print one JSON object per event and line.");
    parser.parse(args);
    if (parser.helpRequested()) {
        Output::instance().write(parser.helpText());
        return EXIT_OK;
    }
    long count = parser.number("count", 0, 1, 1000000);
    EventPrinter printer(parser.has("json"));

    EventQueue& events = EventQueue::instance();
    events.catchSignals();
    ReaderHandle reader(parser.value("device"));
    events.registerCallbacks(reader.handle());
    std::string model =
        reader.isSerial() ? std::string("serial reader") : modelName(reader.productId());
    printer.message("watching", "Watching " + reader.path() +
                                    (model.empty() ? "" : " (" + model + ")") +
                                    ". Swipe a card; Ctrl-C stops.");

    long cards = 0;
    for (;;) {
        ReaderEvent e;
        EventQueue::Wake wake = events.wait(-1, &e);
        if (wake == EventQueue::Wake::SIGNAL) {
            break;
        }
        if (wake != EventQueue::Wake::EVENT || e.handle != reader.handle()) {
            continue;
        }
        if (e.kind == ReaderEvent::CARD_DATA) {
            CardFields card;
            if (CardFields::parse(e.text, &card)) {
                printer.card(card);
            } else {
                printer.unreadableCard();
            }
            if (count > 0 && ++cards >= count) {
                break;
            }
        } else if (e.kind == ReaderEvent::NOTIFICATION) {
            printer.notification(e.messageId, e.text);
        } else if (e.kind == ReaderEvent::ERROR) {
            printer.readerError(e.text);
        } else if (e.kind == ReaderEvent::CONNECTION && e.state == ZEDRA_STATE_DISCONNECTED) {
            printer.disconnected(reader.path());
            reader.close();
            throw CliError(EXIT_DISCONNECTED, "the reader was disconnected");
        }
    }
    reader.close();
    printer.message("stopped", "Stopped; the reader is closed.");
    return EXIT_OK;
}

}  // namespace quorin::cli
