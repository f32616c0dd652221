// quorin send: send command texts to a reader and print the answers.
#include <cstdlib>

#include "ArgParser.h"
#include "CliError.h"
#include "Commands.h"
#include "HexText.h"
#include "JsonWriter.h"
#include "Output.h"
#include "Quorin.h"
#include "ReaderHandle.h"
#include "ReaderModels.h"
#include "SafeText.h"

namespace quorin::cli {

namespace {

constexpr long MAX_TIMEOUT_MS = 600000;
// The library refuses longer command texts.
constexpr size_t MAX_COMMAND_CHARS = 8189;
// The library's code for a closed or lost connection.
constexpr int LOST_CONNECTION = 5;

struct Exchange {
    std::string command;
    Reply reply;
};

// "result 0 (success), reader result 0x00" when the reader answered,
// "result 17 (device transfer failed...)" when it did not.
std::string describe(const Reply& reply) {
    std::string outcome =
        "result " + std::to_string(reply.outcome()) + " (" + resultMeaning(reply.outcome()) + ")";
    return reply.answered() ? outcome + ", reader result " + reply.readerCodeText() : outcome;
}

}  // namespace

int runSend(const Args& args) {
    ArgParser parser(
        "quorin send [--device PATH] [--timeout MS] [--with-length] [--json] HEX...",
        "Sends each command to the reader, in order, and prints the library's result code,\n"
        "the reader's own result code (hex; none when no answer came) and the response data\n"
        "(hex). Stops at the first command that failed or that the reader answered with a\n"
        "code other than 0, and then exits with status 1 (3 when the reader went away).");
    parser.option("device", "PATH", "The reader to open (default: the first attached reader).");
    parser.option("timeout", "MS",
                  "How long a serial reader's response to each command is awaited "
                  "(default 10000).");
    parser.flag("with-length",
                "The commands are in the with-length form: the second byte is the "
                "number of data bytes that follow, and is dropped before sending. A "
                "command shorter than it declares is refused; bytes beyond it are not sent.");
    parser.flag("json",
                "Print a JSON array of {command, result, readerResult, response} objects "
                "(readerResult: \"0x05\", or null when the reader did not answer).");
    parser.positionals("HEX...",
                       "Command texts: hex digits (command byte, then data), or the "
                       "extended form CCCC:DATA (two-byte command id, colon, data).");
    parser.parse(args);
    if (parser.helpRequested()) {
        Output::instance().write(parser.helpText());
        return EXIT_OK;
    }
    if (parser.args().empty()) {
        throw usageError("no command given (see --help)");
    }
    bool withLength = parser.has("with-length");
    for (const std::string& text : parser.args()) {
        if (text.size() > MAX_COMMAND_CHARS) {
            throw usageError("command text longer than " + std::to_string(MAX_COMMAND_CHARS) +
                             " characters");
        }
        if (!isCommandText(text) ||
            (withLength && text.find(':') == std::string::npos && text.size() < 4)) {
            throw usageError("'" + text +
                             "' is not a command text (hex digits in pairs, or CCCC:DATA)");
        }
        if (withLength && text.find(':') == std::string::npos) {
            // Checked here: the library would send nothing and report no
            // failure the tool could show.
            long declared = std::strtol(text.substr(2, 2).c_str(), nullptr, 16);
            long carried = static_cast<long>(text.size() - 4) / 2;
            if (carried < declared) {
                throw usageError("'" + text + "' declares " + std::to_string(declared) +
                                 " data bytes but carries " + std::to_string(carried));
            }
        }
    }
    long timeout = parser.number("timeout", 10000, 1, MAX_TIMEOUT_MS);

    ReaderHandle reader(parser.value("device"));
    SetCommandTimeout(static_cast<int>(timeout));
    std::vector<Exchange> done;
    bool lost = false;
    for (const std::string& text : parser.args()) {
        Exchange x;
        x.command = text;
        x.reply = reader.exchange(text, withLength);
        // A reader pulled out fails the transfer (17) before the library
        // tells of the unplug: reported as the lost connection it is.
        lost = reader.lost(x.reply);
        if (lost) {
            x.reply.result = LOST_CONNECTION;
        }
        done.push_back(x);
        if (!x.reply.ok()) {
            break;
        }
    }
    reader.close();

    Output& out = Output::instance();
    if (parser.has("json")) {
        JsonWriter j;
        j.beginArray();
        for (const Exchange& x : done) {
            j.beginObject().key("command").value(x.command);
            j.key("result").value(x.reply.outcome()).key("readerResult");
            if (x.reply.answered()) {
                j.value(x.reply.readerCodeText());
            } else {
                j.null();
            }
            j.key("response").value(x.reply.data).endObject();
        }
        j.endArray();
        out.line(j.str());
    } else {
        for (const Exchange& x : done) {
            out.printf("%s -> %s%s%s\n", x.command.c_str(), describe(x.reply).c_str(),
                       x.reply.data.empty() ? "" : ": ", safeText(x.reply.data).c_str());
        }
    }
    const Exchange& last = done.back();
    if (lost) {
        throw CliError(EXIT_DISCONNECTED, reader.lostMessage());
    }
    if (!last.reply.ok()) {
        throw CliError(EXIT_FAILED,
                       "command " + last.command + " failed (" + last.reply.describe() + ")");
    }
    return EXIT_OK;
}

}  // namespace quorin::cli
