#include "common/LibraryState.h"

#include <pthread.h>

#include <atomic>

namespace quorin {

namespace {

// Trivially destructible, so they stay readable while the process's static
// objects are being destroyed.
std::atomic<bool> g_tornDown{false};
std::atomic<bool> g_forked{false};

void markChild() {
    // Runs in the child right after fork(): only an atomic store, nothing
    // that could wait for a lock a parent thread held.
    g_forked.store(true);
}

// Registered at load; the C library drops the handler when the library is
// unloaded.
const int g_forkHandler = pthread_atfork(nullptr, nullptr, &markChild);

}  // namespace

bool LibraryState::closed() {
    return g_tornDown.load() || g_forked.load();
}

bool LibraryState::forked() {
    return g_forked.load();
}

void LibraryState::beginTeardown() {
    g_tornDown.store(true);
}

}  // namespace quorin
