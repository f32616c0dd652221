// Where the tool's own output goes.
//
// libquorin prints fixed diagnostic lines ("Found VID=...", "Path=...") to
// standard output, from the caller's thread and from its receiving threads,
// at moments the tool does not control. To keep the tool's output clean and
// parseable, capture() moves the tool's output to a private duplicate of
// descriptor 1 and then points descriptor 1 itself at /dev/null (or, with
// --verbose, at standard error). Everything the library prints, on any
// thread and at any time, then lands there, while the tool writes to the
// original standard output through its own stream. Redirecting around each
// call would miss the lines printed later by the library's threads.
#pragma once

#include <cstdio>
#include <string>

namespace quorin::cli {

class Output {
public:
    static Output& instance();

    // Takes over standard output as described above. Call once, before the
    // first library call. libraryToStderr: let the library's lines through
    // to standard error instead of discarding them.
    void capture(bool libraryToStderr);
    // Puts standard output back (before an exec).
    void release();
    bool libraryToStderr() const { return m_libraryToStderr; }

    // Writes text to the tool's output and flushes it, so that a reader of a
    // pipe sees each line as soon as it is printed.
    void write(const std::string& text);
    void line(const std::string& text) { write(text + "\n"); }
    void printf(const char* format, ...) __attribute__((format(printf, 2, 3)));

    // The error of the first write that failed (a full disk, a closed
    // descriptor); 0 while every write went through. A command whose output
    // was lost does not end with status 0.
    int writeError() const { return m_writeError; }

private:
    Output() = default;
    FILE* stream() const { return m_stream != nullptr ? m_stream : stdout; }
    void check(bool ok);

    FILE* m_stream = nullptr;  // the original standard output, once captured
    int m_savedFd = -1;
    bool m_libraryToStderr = false;
    int m_writeError = 0;
};

// A line to standard error: "quorin: <text>".
void warn(const std::string& text);

}  // namespace quorin::cli
