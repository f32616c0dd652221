#include "EmvTransaction.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>

#include "ArgParser.h"
#include "CliError.h"
#include "HexText.h"
#include "JsonWriter.h"
#include "Output.h"
#include "Quorin.h"
#include "ReaderModels.h"
#include "SafeText.h"
#include "Tlv.h"

namespace quorin::cli {

namespace {

constexpr unsigned int STATUS = 0x300;
constexpr unsigned int DISPLAY = 0x301;
constexpr unsigned int SELECTION = 0x302;
constexpr unsigned int ARQC = 0x303;
constexpr unsigned int RESULT = 0x304;

constexpr const char* CMD_START = "0300:";
constexpr const char* CMD_ACQUIRER_RESPONSE = "0303:";
// With-length forms: 49, length, offset 0000, command id, total, data.
constexpr const char* CMD_SELECTION_FORMAT = "4908000003020002%02X%02X";
constexpr const char* CMD_CANCEL = "4906000003040000";

constexpr uint8_t SELECTION_OK = 0x00;
constexpr uint8_t SELECTION_CANCELLED = 0x01;

// The outcome the reader puts in its result (tag DFDF1A), and the
// authorisation response code (tag 8A) as a fallback.
constexpr uint32_t TAG_OUTCOME = 0xDFDF1A;
constexpr uint32_t TAG_AUTH_RESPONSE_CODE = 0x8A;
constexpr uint32_t TAG_CRYPTOGRAM = 0x9F26;
constexpr uint32_t TAG_AMOUNT = 0x9F02;

// Time the tool waits for the result beyond the reader's own time limit.
constexpr int GRACE_SECONDS = 30;

struct Menu {
    std::string title;
    std::vector<std::string> items;
};

// A selection request: selection type, time-out in seconds, then the title
// and the items as NUL-terminated texts.
Menu parseMenu(const Bytes& data) {
    Menu menu;
    if (data.size() < 3) {
        return menu;
    }
    std::vector<std::string> texts;
    std::string current;
    for (size_t i = 2; i < data.size(); ++i) {
        if (data[i] == 0) {
            texts.push_back(current);
            current.clear();
        } else if (data[i] >= 0x20 && data[i] <= 0x7e) {
            current += static_cast<char>(data[i]);
        } else {
            return Menu();
        }
    }
    if (!current.empty()) {
        texts.push_back(current);
    }
    if (texts.size() < 2) {
        return Menu();
    }
    menu.title = texts.front();
    menu.items.assign(texts.begin() + 1, texts.end());
    return menu;
}

bool isDisconnection(const ReaderEvent& e) {
    return e.kind == ReaderEvent::CONNECTION && e.state == ZEDRA_STATE_DISCONNECTED;
}

bool isResult(const ReaderEvent& e) {
    return e.kind == ReaderEvent::NOTIFICATION && e.messageId == RESULT;
}

}  // namespace

std::string transactionOutcome(const Bytes& result) {
    auto outcome = findTag(result, TAG_OUTCOME);
    if (outcome && outcome->size() == 1) {
        switch ((*outcome)[0]) {
            case 0x00:
                return "approved";
            case 0x01:
                return "declined";
            case 0x02:
                return "cancelled";
            default:
                return "unknown";
        }
    }
    auto code = findTag(result, TAG_AUTH_RESPONSE_CODE);
    if (code) {
        return printableText(*code) == "00" ? "approved" : "declined";
    }
    return "unknown";
}

std::string acquirerResponseHex(const std::string& answer) {
    if (answer == "approve") {
        return "8A023030";  // authorisation response code "00"
    }
    if (answer == "decline") {
        return "8A023035";  // authorisation response code "05"
    }
    if (answer.empty()) {
        return std::string();
    }
    if (answer.size() % 2 != 0 || !isHexDigits(answer)) {
        throw usageError("acquirer response '" + answer + "' is not approve, decline or hex");
    }
    if (!isTlv(hexBytes(answer))) {
        throw usageError("acquirer response '" + answer +
                         "' is hex but not TLV (tag, length, value; such as 8A023030)");
    }
    return upper(answer);
}

std::string transactionStartData(const EmvOptions& o) {
    auto amountBytes = [](const std::string& text, const char* what) {
        if (text.empty() || text.size() > 12 ||
            text.find_first_not_of("0123456789") != std::string::npos) {
            throw usageError(std::string(what) +
                             " must be 1 to 12 digits in minor units (1000 = 10.00), not '" + text +
                             "'");
        }
        return std::string(12 - text.size(), '0') + text;
    };
    // A numeric currency code has three digits; the reader takes them as
    // four BCD digits.
    std::string currency = o.currency;
    if (currency.size() == 3) {
        currency = "0" + currency;
    }
    if (currency.size() != 4 || currency[0] != '0' ||
        currency.find_first_not_of("0123456789") != std::string::npos) {
        throw usageError("--currency must be a numeric currency code such as 840 or 0840, not '" +
                         o.currency + "'");
    }
    char head[16];
    std::snprintf(head, sizeof(head), "%02X%02X%02X", o.timeLimit & 0xff, o.cardType & 0xff,
                  o.option & 0xff);
    char type[4];
    std::snprintf(type, sizeof(type), "%02X", o.transactionType & 0xff);
    char mode[4];
    std::snprintf(mode, sizeof(mode), "%02X", o.mode & 0xff);
    return std::string(head) + amountBytes(o.amount, "--amount") + type +
           amountBytes(o.cashBack, "--cashback") + currency + mode;
}

EmvTransaction::EmvTransaction(ReaderHandle& reader, const EmvOptions& options,
                               const EventPrinter& printer)
    : m_reader(reader), m_options(options), m_printer(printer) {}

EmvTransaction::Prompt EmvTransaction::readLine(const std::string& prompt, std::string* line) {
    std::fputs(prompt.c_str(), stderr);
    std::fflush(stderr);
    line->clear();
    EventQueue& events = EventQueue::instance();
    for (;;) {
        ReaderEvent e;
        EventQueue::Wake wake = events.wait(-1, &e, STDIN_FILENO);
        if (wake == EventQueue::Wake::SIGNAL) {
            return Prompt::INTERRUPTED;
        }
        if (wake == EventQueue::Wake::EVENT) {
            if (e.handle != m_reader.handle()) {
                continue;
            }
            m_deferred.push_back(e);
            // The reader ended the transaction (its own time-out, a card
            // taken away) or went away: nobody waits for the answer now.
            if (isResult(e) || isDisconnection(e)) {
                std::fputs("\n", stderr);
                return Prompt::ENDED;
            }
            continue;
        }
        if (wake != EventQueue::Wake::INPUT) {
            continue;
        }
        char c = 0;
        ssize_t n = read(STDIN_FILENO, &c, 1);
        if (n <= 0) {
            return line->empty() ? Prompt::NO_ANSWER : Prompt::ANSWERED;
        }
        if (c == '\n') {
            return Prompt::ANSWERED;
        }
        if (c != '\r') {
            *line += c;
        }
    }
}

Reply EmvTransaction::send(const std::string& text, bool withLength) {
    Reply reply = m_reader.exchange(text, withLength);
    if (m_reader.lost(reply)) {
        m_disconnected = true;
        m_printer.disconnected(m_reader.path());
        throw CliError(EXIT_DISCONNECTED, "the reader was disconnected during the transaction");
    }
    return reply;
}

void EmvTransaction::cancel() {
    Reply reply = m_reader.exchange(CMD_CANCEL, true);
    m_printer.message("cancel", reply.ok() ? "Transaction cancelled."
                                           : "Cancelling failed (" + reply.describe() + ").");
}

int EmvTransaction::askSelection(int items) {
    if (m_options.select > 0) {
        if (items > 0 && m_options.select > items) {
            throw usageError("--select " + std::to_string(m_options.select) +
                             ": the menu has only " + std::to_string(items) + " items");
        }
        return m_options.select;
    }
    std::string range = items > 0 ? "1-" + std::to_string(items) : "a number";
    for (;;) {
        std::string answer;
        Prompt prompt = readLine("Select " + range + " (empty cancels): ", &answer);
        if (prompt == Prompt::INTERRUPTED || prompt == Prompt::ENDED) {
            return -1;
        }
        long choice = 0;
        if (prompt == Prompt::NO_ANSWER || answer.empty()) {
            return 0;
        }
        if (parseNumber(answer, 1, items > 0 ? items : 255, &choice)) {
            return static_cast<int>(choice);
        }
        // A typo does not cancel the transaction: the question is asked again.
        std::fprintf(stderr, "'%s' is not a menu number.\n", safeText(answer).c_str());
    }
}

void EmvTransaction::answerSelection(const std::string& hex) {
    int choice = askSelection(static_cast<int>(parseMenu(hexBytes(hex)).items.size()));
    if (choice < 0) {
        return;  // interrupted or ended: the main loop goes on
    }
    Menu menu = parseMenu(hexBytes(hex));
    // The reader counts items from 0.
    uint8_t status = choice > 0 ? SELECTION_OK : SELECTION_CANCELLED;
    uint8_t selection = choice > 0 ? static_cast<uint8_t>(choice - 1) : 0;
    char command[32];
    std::snprintf(command, sizeof(command), CMD_SELECTION_FORMAT, status, selection);
    Reply reply = send(command, true);
    const int rc = reply.outcome();
    std::string chosen = choice > 0 && static_cast<size_t>(choice) <= menu.items.size()
                             ? menu.items[static_cast<size_t>(choice - 1)]
                             : std::string();
    Output& out = Output::instance();
    if (m_printer.json()) {
        JsonWriter j;
        j.beginObject().key("event").value("selection").key("item");
        if (choice > 0) {
            j.value(choice);
        } else {
            j.null();
        }
        j.key("result").value(rc).key("readerResult");
        if (reply.answered()) {
            j.value(reply.readerCodeText());
        } else {
            j.null();
        }
        out.line(j.endObject().str());
    } else if (choice > 0) {
        out.printf("Selected %d%s%s%s\n", choice, chosen.empty() ? "" : " (", chosen.c_str(),
                   chosen.empty() ? "" : ")");
    } else {
        out.line("Selection cancelled.");
    }
    if (!reply.ok()) {
        throw CliError(EXIT_FAILED, "the reader refused the selection (" + reply.describe() + ")");
    }
}

void EmvTransaction::answerArqc(const std::string& /*hex*/) {
    std::string response = m_options.acquirerResponse.empty()
                               ? std::string()
                               : acquirerResponseHex(m_options.acquirerResponse);
    while (m_options.acquirerResponse.empty()) {
        std::string answer;
        Prompt prompt =
            readLine("Acquirer response (approve, decline or hex TLV; empty cancels): ", &answer);
        if (prompt == Prompt::INTERRUPTED || prompt == Prompt::ENDED) {
            return;  // the main loop goes on
        }
        if (prompt == Prompt::NO_ANSWER || answer.empty()) {
            break;
        }
        try {
            response = acquirerResponseHex(answer);
            break;
        } catch (const CliError& e) {
            // A typo does not end the transaction: the question is asked again.
            std::fprintf(stderr, "%s.\n", safeText(e.what()).c_str());
        }
    }
    if (response.empty()) {
        throw CliError(EXIT_FAILED,
                       "no acquirer response (give --acquirer-response); transaction cancelled");
    }
    Reply reply = send(CMD_ACQUIRER_RESPONSE + response);
    const int rc = reply.outcome();
    Output& out = Output::instance();
    if (m_printer.json()) {
        out.line(JsonWriter()
                     .beginObject()
                     .key("event")
                     .value("acquirer-response")
                     .key("data")
                     .value(response)
                     .key("result")
                     .value(rc)
                     .key("readerResult")
                     .valueOrNull(reply.answered() ? reply.readerCodeText() : "")
                     .endObject()
                     .str());
    } else {
        out.printf("Acquirer response sent: %s\n", response.c_str());
    }
    if (!reply.ok()) {
        throw CliError(EXIT_FAILED,
                       "the reader refused the acquirer response (" + reply.describe() + ")");
    }
}

void EmvTransaction::onNotification(unsigned int id, const std::string& hex, bool answering) {
    Output& out = Output::instance();
    Bytes data = hexBytes(hex);
    std::vector<WithheldValue> withheld;
    if (id == STATUS) {
        if (m_printer.json()) {
            out.line(JsonWriter()
                         .beginObject()
                         .key("event")
                         .value("transaction-status")
                         .key("data")
                         .value(hex)
                         .endObject()
                         .str());
        } else {
            out.printf("Transaction status: %s\n", safeText(hex).c_str());
        }
    } else if (id == DISPLAY) {
        std::string text = printableText(data);
        if (m_printer.json()) {
            out.line(JsonWriter()
                         .beginObject()
                         .key("event")
                         .value("display")
                         .key("text")
                         .value(text)
                         .key("data")
                         .value(hex)
                         .endObject()
                         .str());
        } else {
            out.printf("Display: %s\n", safeText(text.empty() ? hex : text).c_str());
        }
    } else if (id == SELECTION) {
        Menu menu = parseMenu(data);
        if (m_printer.json()) {
            JsonWriter j;
            j.beginObject()
                .key("event")
                .value("selection-request")
                .key("title")
                .valueOrNull(menu.title);
            j.key("items").beginArray();
            for (const std::string& item : menu.items) {
                j.value(item);
            }
            j.endArray().key("data").value(hex).endObject();
            out.line(j.str());
        } else if (!menu.items.empty()) {
            out.printf("Selection: %s\n", menu.title.c_str());
            for (size_t i = 0; i < menu.items.size(); ++i) {
                out.printf("  %zu. %s\n", i + 1, menu.items[i].c_str());
            }
        } else {
            out.printf("Selection requested: %s\n", safeText(hex).c_str());
        }
        if (answering) {
            answerSelection(hex);
        }
    } else if (id == ARQC) {
        auto cryptogram = findTag(data, TAG_CRYPTOGRAM);
        auto amount = findTag(data, TAG_AMOUNT);
        std::string shown = m_printer.shownData(hex, &withheld);
        if (m_printer.json()) {
            JsonWriter j;
            j.beginObject()
                .key("event")
                .value("arqc")
                .key("cryptogram")
                .valueOrNull(cryptogram ? bytesToHex(*cryptogram) : "")
                .key("data")
                .value(shown);
            EventPrinter::addWithheld(j, withheld);
            out.line(j.endObject().str());
        } else {
            out.printf("ARQC received%s%s%s%s\n", cryptogram ? ": cryptogram " : "",
                       cryptogram ? bytesToHex(*cryptogram).c_str() : "", amount ? ", amount " : "",
                       amount ? bytesToHex(*amount).c_str() : "");
            out.printf("  %s\n%s", safeText(shown).c_str(),
                       EventPrinter::withheldNote(withheld).c_str());
        }
        if (answering) {
            answerArqc(hex);
        }
    } else if (id == RESULT) {
        std::string outcome = transactionOutcome(data);
        std::string shown = m_printer.shownData(hex, &withheld);
        if (m_printer.json()) {
            JsonWriter j;
            j.beginObject()
                .key("event")
                .value("result")
                .key("outcome")
                .value(outcome)
                .key("data")
                .value(shown);
            EventPrinter::addWithheld(j, withheld);
            out.line(j.endObject().str());
        } else {
            out.printf("Transaction result: %s\n  %s\n%s", upper(outcome).c_str(),
                       safeText(shown).c_str(), EventPrinter::withheldNote(withheld).c_str());
        }
        if (!m_finished) {
            m_result = hex;
            m_finished = true;
        }
    } else {
        m_printer.notification(id, hex);
    }
}

void EmvTransaction::handle(const ReaderEvent& e) {
    if (e.kind == ReaderEvent::NOTIFICATION) {
        onNotification(e.messageId, e.text, true);
    } else if (isDisconnection(e)) {
        m_disconnected = true;
        m_printer.disconnected(m_reader.path());
        throw CliError(EXIT_DISCONNECTED, "the reader was disconnected during the transaction");
    } else {
        m_printer.event(e);
    }
}

void EmvTransaction::follow() {
    EventQueue& events = EventQueue::instance();
    const int limitMs = (m_options.timeLimit + GRACE_SECONDS) * 1000;
    auto start = std::chrono::steady_clock::now();
    while (!m_finished) {
        ReaderEvent e;
        EventQueue::Wake wake;
        if (!m_deferred.empty()) {
            e = m_deferred.front();
            m_deferred.pop_front();
            wake = EventQueue::Wake::EVENT;
        } else {
            auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
                               std::chrono::steady_clock::now() - start)
                               .count();
            wake = events.wait(static_cast<int>(std::max<long long>(0, limitMs - elapsed)), &e);
        }
        if (wake == EventQueue::Wake::SIGNAL || events.signalNumber() != 0) {
            if (wake == EventQueue::Wake::EVENT) {
                m_deferred.push_front(e);  // printed when the reader is closed
            }
            throw CliError(EXIT_INTERRUPTED, "interrupted; transaction cancelled");
        }
        if (wake == EventQueue::Wake::TIMEOUT) {
            throw CliError(EXIT_FAILED, "no result within " + std::to_string(limitMs / 1000) +
                                            " s; transaction cancelled");
        }
        if (wake == EventQueue::Wake::EVENT && e.handle == m_reader.handle()) {
            handle(e);
        }
    }
}

void EmvTransaction::finishQuietly() {
    try {
        finish();
    } catch (const OutputLost&) {
        m_reader.close();
    }
}

void EmvTransaction::finish() {
    const unsigned long handle = m_reader.handle();
    m_reader.close();
    std::deque<ReaderEvent> left = m_deferred;
    m_deferred.clear();
    for (ReaderEvent& e : EventQueue::instance().takeAll(handle)) {
        left.push_back(e);
    }
    for (const ReaderEvent& e : left) {
        if (e.kind == ReaderEvent::NOTIFICATION) {
            onNotification(e.messageId, e.text, false);
        } else if (isDisconnection(e)) {
            if (!m_disconnected) {
                m_printer.disconnected(m_reader.path());
            }
        } else {
            m_printer.event(e);
        }
    }
}

int EmvTransaction::run() {
    const std::string startData = transactionStartData(m_options);
    EventQueue& events = EventQueue::instance();
    events.registerCallbacks(m_reader.handle());

    Reply start;
    try {
        start = send(CMD_START + startData);
    } catch (const CliError&) {
        finishQuietly();
        throw;
    }
    if (!start.ok()) {
        finish();
        throw CliError(EXIT_FAILED,
                       "the reader did not start the transaction (" + start.describe() + ")");
    }
    try {
        m_printer.message("started", "Transaction started: amount " + m_options.amount +
                                         ", cash back " + m_options.cashBack + ", currency " +
                                         m_options.currency + ". Waiting for the card...");
        follow();
    } catch (const CliError&) {
        // Also when the output is lost: the reader must not be left running
        // a transaction. What cannot be printed any more is not.
        if (!m_finished && !m_disconnected) {
            try {
                cancel();
            } catch (const OutputLost&) {
            }
        }
        finishQuietly();
        throw;
    }
    finish();
    std::string outcome = transactionOutcome(hexBytes(m_result));
    if (outcome == "approved") {
        return EXIT_OK;
    }
    if (outcome == "unknown") {
        throw CliError(EXIT_FAILED,
                       "the reader's result has no outcome the tool knows; not approved");
    }
    throw CliError(EXIT_FAILED, "transaction " + outcome);
}

}  // namespace quorin::cli
