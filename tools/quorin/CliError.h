// The one way a subcommand fails: an exit status and a one-line message,
// which main() prints to standard error as "quorin <command>: <message>".
#pragma once

#include <stdexcept>
#include <string>

namespace quorin::cli {

// Exit statuses of the tool.
enum ExitStatus : int {
    EXIT_OK = 0,            // done (watch: stopped by a signal)
    EXIT_FAILED = 1,        // the reader or the library said no
    EXIT_USAGE = 2,         // bad arguments
    EXIT_DISCONNECTED = 3,  // the reader went away while in use
    EXIT_INTERRUPTED = 130  // emv: cancelled by a signal; list --follow: ended by one
};

class CliError : public std::runtime_error {
public:
    CliError(int status, const std::string& message)
        : std::runtime_error(message), m_status(status) {}
    int status() const { return m_status; }

private:
    int m_status;
};

// Shorthand for argument errors.
inline CliError usageError(const std::string& message) {
    return CliError(EXIT_USAGE, message);
}

}  // namespace quorin::cli
