#include "transport/HidGlobalLock.h"

#include "common/NeverDestroyed.h"

namespace quorin {

std::recursive_mutex& HidGlobalLock::mutex() {
    // Created on first use, so no global constructor order is involved, and
    // never destroyed: a host thread may enumerate while another exits.
    static NeverDestroyed<std::recursive_mutex> lock;
    return lock.get();
}

}  // namespace quorin
