#include "api/LocalDelegate.h"

#include <atomic>

namespace quorin {

namespace {
std::atomic<LocalDelegate*> g_localDelegate{nullptr};
}

LocalDelegate& localDelegate() {
    // Never destroyed: detached callback threads and readers closed at unload
    // may still reach it.
    static LocalDelegate* instance = [] {
        auto* made = new LocalDelegate();
        g_localDelegate.store(made);
        return made;
    }();
    return *instance;
}

LocalDelegate* localDelegateIfMade() {
    return g_localDelegate.load();
}

}  // namespace quorin
