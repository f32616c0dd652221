// The library's diagnostics: the fixed lines the HID connection prints, and a
// debug log a host can turn on. Every diagnostic goes through writeDiagnostic.
//
// The fixed lines ("Found VID=...", "Path=...") go to standard output by
// default, as hosts have always seen them. QUORIN_DIAGNOSTICS sends them to
// standard error ("stderr") or nowhere ("off"); "stdout" is the default.
//
// QUORIN_DEBUG=1 (or any value but "0" and "") logs every open, close,
// command, response, notification and card read to standard error, one
// timestamped line each. It logs ids, result codes, lengths and states,
// never the bytes of a card's tracks, its account number or a notification's
// data, nor a command's data.
//
// The environment is read once, at the first diagnostic; reloadDiagnostics()
// reads it again (for tests).
#pragma once

#include <cstdarg>

namespace quorin {

enum class DiagnosticKind {
    LINE,   // a fixed line of the HID connection
    DEBUG,  // a line of the debug log
};

// Writes text (one line, without its line feed) where kind goes.
void writeDiagnostic(DiagnosticKind kind, const char* text);

// A fixed line, printf-style.
void diagnosticLine(const char* format, ...) __attribute__((format(printf, 1, 2)));

// True when the debug log is on: callers build costly lines only then.
bool debugLogging();
// A line of the debug log, printf-style; nothing when the log is off.
void debugLog(const char* format, ...) __attribute__((format(printf, 1, 2)));
void debugLogV(const char* format, va_list args);

void reloadDiagnostics();

}  // namespace quorin
