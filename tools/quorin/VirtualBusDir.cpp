#include "VirtualBusDir.h"

#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

namespace quorin::cli {

namespace {

bool fileExists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

std::string executableDir() {
    char buf[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof(buf) - 1);
    if (n <= 0) {
        return std::string();
    }
    buf[n] = '\0';
    std::string path(buf);
    return path.substr(0, path.rfind('/'));
}

}  // namespace

std::string virtualBusDirectory() {
    std::vector<std::string> candidates;
    if (const char* dir = std::getenv(BUS_DIR_VARIABLE)) {
        candidates.push_back(dir);
    }
    candidates.push_back(executableDir() + "/" + QUORIN_TOOL_VHID_RELDIR);
    candidates.push_back(QUORIN_TOOL_VHID_BUILDDIR);
    for (const std::string& dir : candidates) {
        if (fileExists(dir + "/libhidapi-hidraw.so.0") &&
            fileExists(dir + "/libhidapi-libusb.so.0")) {
            return dir;
        }
    }
    return std::string();
}

}  // namespace quorin::cli
