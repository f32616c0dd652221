// The tool's own output, on standard output.
//
// libquorin prints fixed diagnostic lines ("Found VID=...", "Path=...") to
// standard output unless QUORIN_DIAGNOSTICS says otherwise; the tool sets it
// before its first library call (off, or stderr with --verbose), so standard
// output holds only what the tool writes here.
#pragma once

#include <cstdio>
#include <string>

#include "CliError.h"

namespace quorin::cli {

// Thrown by the first write that fails: a command whose output is lost (a
// full disk, a pipe whose reader went away) stops at once, whatever it was
// waiting for, and ends with status 1. main() says so in one line (the
// write's error); a command that must undo something (emv: cancel the
// transaction) catches it as any CliError, does that and rethrows.
class OutputLost : public CliError {
public:
    OutputLost() : CliError(EXIT_FAILED, "cannot write the output") {}
};

class Output {
public:
    static Output& instance();

    // Writes text to the tool's output and flushes it, so that a reader of a
    // pipe sees each line as soon as it is printed. Throws OutputLost when
    // the write fails, and from then on for every write.
    void write(const std::string& text);
    void line(const std::string& text) { write(text + "\n"); }
    void printf(const char* format, ...) __attribute__((format(printf, 2, 3)));

    // The error of the first write that failed (a full disk, a closed
    // descriptor, EPIPE: the tool ignores SIGPIPE); 0 while every write went
    // through. A command whose output was lost does not end with status 0.
    int writeError() const { return m_writeError; }

private:
    Output() = default;
    FILE* stream() const { return stdout; }
    void check(bool ok);

    int m_writeError = 0;
};

// A line to standard error: "quorin: <text>".
void warn(const std::string& text);

}  // namespace quorin::cli
