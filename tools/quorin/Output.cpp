#include "Output.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>

namespace quorin::cli {

Output& Output::instance() {
    static Output output;
    return output;
}

void Output::capture(bool libraryToStderr) {
    if (m_stream != nullptr) {
        return;
    }
    m_libraryToStderr = libraryToStderr;
    std::fflush(stdout);
    // With descriptor 1 closed, the duplicate below would fail and a later
    // open could land on 1; give 1 something harmless first.
    if (fcntl(STDOUT_FILENO, F_GETFD) == -1) {
        int fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (fd >= 0 && fd != STDOUT_FILENO) {
            dup2(fd, STDOUT_FILENO);
            close(fd);
        }
    }
    m_savedFd = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    if (m_savedFd < 0) {
        return;  // output stays on stdout, library lines included
    }
    m_stream = fdopen(m_savedFd, "w");
    if (m_stream == nullptr) {
        close(m_savedFd);
        m_savedFd = -1;
        return;
    }
    if (libraryToStderr) {
        dup2(STDERR_FILENO, STDOUT_FILENO);
    } else {
        int devNull = open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (devNull >= 0) {
            dup2(devNull, STDOUT_FILENO);
            close(devNull);
        }
    }
}

void Output::release() {
    if (m_stream == nullptr) {
        return;
    }
    std::fflush(stdout);
    std::fflush(m_stream);
    dup2(m_savedFd, STDOUT_FILENO);
    std::fclose(m_stream);
    m_stream = nullptr;
    m_savedFd = -1;
}

void Output::check(bool ok) {
    if (!ok && m_writeError == 0) {
        m_writeError = errno != 0 ? errno : EIO;
    }
}

void Output::write(const std::string& text) {
    errno = 0;
    bool ok = std::fwrite(text.data(), 1, text.size(), stream()) == text.size();
    check(std::fflush(stream()) == 0 && ok);
}

void Output::printf(const char* format, ...) {
    va_list args;
    va_start(args, format);
    errno = 0;
    bool ok = std::vfprintf(stream(), format, args) >= 0;
    va_end(args);
    check(std::fflush(stream()) == 0 && ok);
}

void warn(const std::string& text) {
    std::fprintf(stderr, "quorin: %s\n", text.c_str());
    std::fflush(stderr);
}

}  // namespace quorin::cli
