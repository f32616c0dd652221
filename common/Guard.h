// The boundary firewall: every exported function and every thread entry runs
// its body through guarded(), so no exception crosses extern "C" or ends a
// thread with std::terminate.
#pragma once

#include <utility>

namespace quorin {

template <typename R, typename Fn>
R guarded(R onFailure, Fn&& fn) noexcept {
    try {
        return std::forward<Fn>(fn)();
    } catch (...) {
        return onFailure;
    }
}

template <typename Fn>
void guardedVoid(Fn&& fn) noexcept {
    try {
        std::forward<Fn>(fn)();
    } catch (...) {
    }
}

}  // namespace quorin
