#include "common/CommandTimeout.h"

#include <atomic>

namespace quorin {

namespace {
std::atomic<int> g_timeoutMs{10000};
}

int commandTimeoutMs() {
    return g_timeoutMs.load();
}

void setCommandTimeoutMs(int timeoutMs) {
    g_timeoutMs.store(timeoutMs);
}

}  // namespace quorin
