// Runs one EMV transaction on an open extended-protocol reader and prints
// its progress as it arrives: the reader's transaction status, display
// messages, a user-selection request (answered from the command line or
// from standard input), the ARQC (answered with the acquirer response given
// on the command line, if any) and the final result.
//
// The commands are the reader's own, sent through the Ex generation of the
// API: 0300 start, 0302 user selection result, 0303 acquirer response, 0304
// cancel (the texts the first-generation StartTransaction,
// SetUserSelectionResult, SetAcquirerResponse and CancelTransaction send).
#pragma once

#include <string>

#include "EventPrinter.h"
#include "ReaderHandle.h"

namespace quorin::cli {

struct EmvOptions {
    std::string amount = "0";       // minor units, 1 to 12 digits
    std::string cashBack = "0";     // as amount
    std::string currency = "0840";  // numeric currency code, four hex digits
    int timeLimit = 60;             // seconds the reader waits for a card
    int cardType = 2;
    int option = 0;
    int transactionType = 0;
    int mode = 0;
    int select = -1;               // answer to a selection request; -1: ask on stdin
    std::string acquirerResponse;  // hex sent when the ARQC arrives; "": none
};

// The 19 data bytes of the start command as hex; throws a usage CliError
// for an amount, cash-back amount or currency code that cannot form them.
std::string transactionStartData(const EmvOptions& options);

class EmvTransaction {
public:
    EmvTransaction(const ReaderHandle& reader, const EmvOptions& options,
                   const EventPrinter& printer);

    // Starts the transaction and follows it to its end. Returns EXIT_OK when
    // the reader reported a result; throws CliError when it refused to
    // start, went away, gave no result in time (the transaction is then
    // cancelled) or a signal arrived (cancelled too).
    int run();
    // The result notification's data (hex), once run() returned.
    const std::string& resultData() const { return m_result; }

private:
    void onNotification(unsigned int id, const std::string& hex);
    void answerSelection(const std::string& hex);
    int askSelection(int items);
    void cancel();

    const ReaderHandle& m_reader;
    EmvOptions m_options;
    const EventPrinter& m_printer;
    std::string m_result;
    bool m_finished = false;
};

}  // namespace quorin::cli
