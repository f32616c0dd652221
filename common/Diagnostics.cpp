#include "common/Diagnostics.h"

#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>

namespace quorin {

namespace {

enum Target { TO_STDOUT, TO_STDERR, TO_NOWHERE };

struct Settings {
    std::atomic<int> lines{TO_STDOUT};
    std::atomic<bool> debug{false};
};

Settings& settings() {
    static Settings s;
    return s;
}

std::once_flag g_read;

void readEnvironment() {
    Settings& s = settings();
    const char* where = std::getenv("QUORIN_DIAGNOSTICS");
    int target = TO_STDOUT;
    if (where != nullptr) {
        if (std::strcmp(where, "stderr") == 0) {
            target = TO_STDERR;
        } else if (std::strcmp(where, "off") == 0) {
            target = TO_NOWHERE;
        }
    }
    s.lines.store(target);
    const char* debug = std::getenv("QUORIN_DEBUG");
    s.debug.store(debug != nullptr && debug[0] != '\0' && std::strcmp(debug, "0") != 0);
}

Settings& current() {
    std::call_once(g_read, readEnvironment);
    return settings();
}

}  // namespace

void writeDiagnostic(DiagnosticKind kind, const char* text) {
    Settings& s = current();
    if (kind == DiagnosticKind::DEBUG) {
        if (!s.debug.load()) {
            return;
        }
        // "quorin 12:34:56.789 [tid] text": one write per line, so lines of
        // several threads do not mix.
        timespec now{};
        clock_gettime(CLOCK_REALTIME, &now);
        tm local{};
        localtime_r(&now.tv_sec, &local);
        std::fprintf(stderr, "quorin %02d:%02d:%02d.%03ld [%ld] %s\n", local.tm_hour, local.tm_min,
                     local.tm_sec, now.tv_nsec / 1000000L, static_cast<long>(syscall(SYS_gettid)),
                     text);
        return;
    }
    switch (s.lines.load()) {
        case TO_STDOUT:
            std::fprintf(stdout, "%s\n", text);
            break;
        case TO_STDERR:
            std::fprintf(stderr, "%s\n", text);
            break;
        default:
            break;
    }
}

void diagnosticLine(const char* format, ...) {
    if (current().lines.load() == TO_NOWHERE) {
        return;
    }
    char text[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof(text), format, args);
    va_end(args);
    writeDiagnostic(DiagnosticKind::LINE, text);
}

bool debugLogging() {
    return current().debug.load();
}

void debugLog(const char* format, ...) {
    va_list args;
    va_start(args, format);
    debugLogV(format, args);
    va_end(args);
}

void debugLogV(const char* format, va_list args) {
    if (format == nullptr || !debugLogging()) {
        return;
    }
    char text[1024];
    std::vsnprintf(text, sizeof(text), format, args);
    writeDiagnostic(DiagnosticKind::DEBUG, text);
}

void reloadDiagnostics() {
    std::call_once(g_read, readEnvironment);
    readEnvironment();
}

}  // namespace quorin
