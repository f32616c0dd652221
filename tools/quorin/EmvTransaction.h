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
//
// Once the transaction has started, every way out cancels it first (unless
// it ended or the reader went away), and every way out closes the reader and
// prints what the reader sent before the close returned: the close waits for
// the callbacks in flight, so nothing the reader said is lost.
#pragma once

#include <deque>
#include <string>

#include "EventPrinter.h"
#include "EventQueue.h"
#include "ReaderHandle.h"

namespace quorin::cli {

struct EmvOptions {
    std::string amount = "0";       // minor units, 1 to 12 digits
    std::string cashBack = "0";     // as amount
    std::string currency = "0840";  // numeric currency code: 3 digits, or 4 with a leading 0
    int timeLimit = 60;             // seconds the reader waits for a card
    int cardType = 2;
    int option = 0;
    int transactionType = 0;
    int mode = 0;
    int select = -1;               // answer to a selection request; -1: ask on stdin
    std::string acquirerResponse;  // approve, decline or hex; "": ask on stdin
};

// The 19 data bytes of the start command as hex; throws a usage CliError
// for an amount, cash-back amount or currency code that cannot form them.
std::string transactionStartData(const EmvOptions& options);
// The acquirer response to send for an answer: approve, decline, or hex of
// well-formed TLV; "" for an empty answer. Throws a usage CliError otherwise.
std::string acquirerResponseHex(const std::string& answer);
// "approved", "declined", "cancelled" or "unknown" for a result's data.
std::string transactionOutcome(const Bytes& result);

class EmvTransaction {
public:
    EmvTransaction(ReaderHandle& reader, const EmvOptions& options, const EventPrinter& printer);

    // Starts the transaction, follows it to its end and closes the reader.
    // Returns EXIT_OK when the reader approved it; throws CliError for any
    // other outcome (EXIT_FAILED: declined, cancelled, an outcome the tool
    // does not know, a refusal or no result in time; EXIT_USAGE: an answer
    // that does not fit the menu; EXIT_DISCONNECTED; EXIT_INTERRUPTED).
    int run();
    // The result notification's data (hex), once run() returned.
    const std::string& resultData() const { return m_result; }

private:
    enum class Prompt { ANSWERED, NO_ANSWER, INTERRUPTED, ENDED };

    void follow();
    void handle(const ReaderEvent& e);
    // Prints a notification; answers selection requests and the ARQC when
    // answering (not for what is left once the reader is closed).
    void onNotification(unsigned int id, const std::string& hex, bool answering);
    void answerSelection(const std::string& hex);
    void answerArqc(const std::string& hex);
    int askSelection(int items);
    // Reads one line from standard input while events keep arriving; ENDED
    // when the reader ended the transaction or went away meanwhile.
    Prompt readLine(const std::string& prompt, std::string* line);
    // Sends a command of the transaction; throws EXIT_DISCONNECTED when it
    // failed because the reader went away.
    Reply send(const std::string& text, bool withLength = false);
    void cancel();
    // Closes the reader and prints what it sent before the close returned.
    void finish();
    // finish(), also when the output is lost (the reader is closed anyway).
    void finishQuietly();

    ReaderHandle& m_reader;
    EmvOptions m_options;
    const EventPrinter& m_printer;
    std::deque<ReaderEvent> m_deferred;  // arrived while a prompt waited
    std::string m_result;
    bool m_finished = false;
    bool m_disconnected = false;
};

}  // namespace quorin::cli
