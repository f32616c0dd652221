#include "transport/HidGlobalLock.h"

namespace quorin {

std::recursive_mutex& HidGlobalLock::mutex() {
    // Created on first use, so no global constructor order is involved.
    static std::recursive_mutex lock;
    return lock;
}

}  // namespace quorin
