// quorin emv: run an EMV transaction.
#include "ArgParser.h"
#include "CliError.h"
#include "Commands.h"
#include "EmvTransaction.h"
#include "EventPrinter.h"
#include "EventQueue.h"
#include "Output.h"
#include "ReaderHandle.h"
#include "ReaderModels.h"

namespace quorin::cli {

int runEmv(const Args& args) {
    ArgParser parser(
        "quorin emv [--device PATH] --amount N [--cashback N] [--currency CODE] [--select N]\n"
        "           [--acquirer-response approve|decline|HEX] [--json]",
        "Starts an EMV transaction on the reader and prints its progress as it arrives:\n"
        "transaction status, display messages, the application menu, the ARQC and the\n"
        "result. A selection request is answered with --select, else read from standard\n"
        "input; so is the acquirer response to the ARQC. Ctrl-C cancels the transaction.\n"
        "Exit status 0 when the transaction is approved, 1 when it is declined, cancelled\n"
        "or fails, 3 when the reader goes away, 130 when interrupted.");
    parser.option("device", "PATH", "The reader to open (default: the first attached reader).");
    parser.option("amount", "N", "Amount in minor units, 1 to 12 digits (1000 = 10.00).");
    parser.option("cashback", "N", "Cash-back amount in minor units (default 0).");
    parser.option("currency", "CODE", "Numeric currency code (default 840).");
    parser.option("select", "N", "Answer a selection request with menu item N (1 = first).");
    parser.option("acquirer-response", "A",
                  "Answer to the ARQC: approve, decline, or the "
                  "acquirer's response as hex (TLV).");
    parser.option("time-limit", "S", "Seconds the reader waits for a card (default 60).");
    parser.option("card-type", "N",
                  "Card types the reader accepts, the reader's code (default 2).");
    parser.option("type", "N", "Transaction type, the reader's code (default 0, purchase).");
    parser.flag("json", "Print one JSON object per event and line.");
    parser.parse(args);
    if (parser.helpRequested()) {
        Output::instance().write(parser.helpText());
        return EXIT_OK;
    }
    if (!parser.has("amount")) {
        throw usageError("--amount is required (see --help)");
    }
    EmvOptions options;
    options.amount = parser.value("amount");
    options.cashBack = parser.value("cashback", "0");
    options.currency = parser.value("currency", "840");
    options.select = static_cast<int>(parser.number("select", -1, 1, 255));
    options.acquirerResponse = parser.value("acquirer-response");
    options.timeLimit = static_cast<int>(parser.number("time-limit", 60, 1, 255));
    options.cardType = static_cast<int>(parser.number("card-type", 2, 0, 255));
    options.transactionType = static_cast<int>(parser.number("type", 0, 0, 255));
    transactionStartData(options);  // refuses unusable amounts before anything is opened
    EventPrinter printer(parser.has("json"));

    EventQueue::instance().catchSignals();
    ReaderHandle reader(parser.value("device"));
    if (!isEmvModel(reader.productId())) {
        throw CliError(EXIT_FAILED, reader.path() + " (" + modelName(reader.productId()) +
                                        ") does not run EMV transactions");
    }
    EmvTransaction transaction(reader, options, printer);
    return transaction.run();
}

}  // namespace quorin::cli
