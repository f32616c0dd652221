#include "Output.h"

#include <cerrno>
#include <cstdarg>

namespace quorin::cli {

Output& Output::instance() {
    static Output output;
    return output;
}

void Output::check(bool ok) {
    if (!ok && m_writeError == 0) {
        m_writeError = errno != 0 ? errno : EIO;
    }
    if (m_writeError != 0) {
        throw OutputLost();
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
