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
        "           [--acquirer-response approve|decline|HEX] [--time-limit S] [--card-type N]\n"
        "           [--type N] [--show-card-data] [--json]",
        "Starts an EMV transaction on the reader and prints its progress as it arrives:\n"
        "transaction status, display messages, the application menu, the ARQC and the\n"
        "result. A selection request is answered with --select, else read from standard\n"
        "input; so is the acquirer response to the ARQC. Every argument is checked before\n"
        "the reader is opened; once the transaction has started, an error, Ctrl-C or\n"
        "SIGTERM cancels it. The values of EMV tags that carry clear card data (account\n"
        "number, track data, cardholder name) are not printed, only their lengths.\n"
        "\n"
        "Exit status: 0 the reader approved the transaction; 1 any other outcome\n"
        "(declined, cancelled, a result the tool does not recognise, no result in time,\n"
        "a refused command); 2 bad arguments, or a --select beyond the menu; 3 the reader\n"
        "went away; 130 interrupted.");
    parser.option("device", "PATH", "The reader to open (default: the first attached reader).");
    parser.option("amount", "N", "Amount in minor units, 1 to 12 digits (1000 = 10.00).");
    parser.option("cashback", "N", "Cash-back amount in minor units (default 0).");
    parser.option("currency", "CODE", "Numeric currency code, 840 or 0840 (default 840).");
    parser.option("select", "N", "Answer a selection request with menu item N (1 = first).");
    parser.option("acquirer-response", "A",
                  "Answer to the ARQC: approve, decline, or the "
                  "acquirer's response as hex (TLV).");
    parser.option("time-limit", "S", "Seconds the reader waits for a card, 1 to 255 (default 60).");
    parser.option("card-type", "N",
                  "Card types the reader accepts, the reader's code 0 to 255 (default 2).");
    parser.option("type", "N",
                  "Transaction type, the reader's code 0 to 255 (default 0, purchase).");
    parser.flag("show-card-data",
                "Also print the values of the tags carrying clear card data (5A, 56, 57, "
                "9F6B, 5F20, 9F1F, 9F20) and what follows data that is not well-formed TLV.");
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
    // Every argument is refused here, before the reader is opened.
    transactionStartData(options);
    if (parser.has("acquirer-response") && acquirerResponseHex(options.acquirerResponse).empty()) {
        throw usageError("--acquirer-response needs approve, decline or hex");
    }
    EventPrinter printer(parser.has("json"), parser.has("show-card-data"));

    EventQueue::instance().catchSignals();
    ReaderHandle reader(parser.value("device"));
    if (!reader.runsEmv()) {
        std::string what = reader.isSerial() ? serialFormat(reader.path()) + " framing"
                                             : modelName(reader.productId());
        throw CliError(EXIT_FAILED,
                       reader.path() + " (" + what + ") does not run EMV transactions");
    }
    EmvTransaction transaction(reader, options, printer);
    return transaction.run();
}

}  // namespace quorin::cli
