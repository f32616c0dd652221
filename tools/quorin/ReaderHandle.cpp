#include "ReaderHandle.h"

#include "CliError.h"
#include "Quorin.h"
#include "ReaderModels.h"

namespace quorin::cli {

std::vector<std::string> attachedReaders() {
    std::string list = GetDeviceList();
    std::vector<std::string> paths;
    size_t start = 0;
    while (start < list.size()) {
        size_t comma = list.find(',', start);
        if (comma == std::string::npos) {
            comma = list.size();
        }
        if (comma > start) {
            paths.push_back(list.substr(start, comma - start));
        }
        start = comma + 1;
    }
    return paths;
}

ReaderHandle::ReaderHandle(const std::string& path) : m_path(path) {
    bool serial = path.compare(0, 9, "SERIAL://") == 0;
    if (!serial) {
        std::vector<std::string> attached = attachedReaders();
        if (attached.empty()) {
            throw CliError(
                EXIT_FAILED,
                "no reader attached (for a serial reader give --device SERIAL://PORT=...)");
        }
        if (m_path.empty()) {
            m_path = attached.front();
        } else {
            bool found = false;
            for (const std::string& p : attached) {
                found = found || p == m_path;
            }
            if (!found) {
                std::string names;
                for (const std::string& p : attached) {
                    names += (names.empty() ? "" : ", ") + p;
                }
                throw CliError(EXIT_FAILED,
                               "no reader at " + m_path + " (attached: " + names + ")");
            }
        }
    }
    m_handle = OpenDeviceEx(m_path.c_str());
    if (m_handle == 0) {
        if (serial) {
            throw CliError(EXIT_FAILED, "cannot open " + m_path +
                                            " (check PORT, the framing FORMAT and access to "
                                            "the port)");
        }
        throw CliError(EXIT_FAILED, "cannot open " + m_path +
                                        " (is it in use, or may this user not access it? "
                                        "see the udev rule in the README)");
    }
    m_productId = GetProductIDEx(m_handle);
}

ReaderHandle::~ReaderHandle() {
    close();
}

bool ReaderHandle::isSerial() const {
    return m_path.compare(0, 9, "SERIAL://") == 0;
}

bool ReaderHandle::runsEmv() const {
    return isSerial() ? isEmvSerialPath(m_path) : isEmvModel(m_productId);
}

void ReaderHandle::close() {
    if (m_handle != 0) {
        CloseDeviceEx(m_handle);
        m_handle = 0;
    }
}

std::string ReaderHandle::command(const std::string& text, int* result) const {
    std::string response = SendCommandEx(m_handle, text.c_str());
    *result = GetResultCodeEx(m_handle);
    return response;
}

std::string ReaderHandle::commandWithLength(const std::string& text, int* result) const {
    std::string response = SendCommandWithLengthEx(m_handle, text.c_str());
    *result = GetResultCodeEx(m_handle);
    return response;
}

}  // namespace quorin::cli
