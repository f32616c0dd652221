// What one soak reader's model sent and what the host received of it.
//
// The models count when they send; the host callbacks and the command calls
// count what arrived, checking every text against what that reader's model
// sent next (a text of another reader, out of order or changed counts as
// corrupted). Events the library reported as lost are added in one place,
// noteReportedLoss(), from the counters the host can read.
#pragma once

#include <atomic>
#include <cstdint>

namespace quorin_soak {

struct Ledger {
    // Sent by the model.
    std::atomic<uint64_t> swipesSent{0};
    std::atomic<uint64_t> notificationsSent{0};
    std::atomic<uint64_t> commandsSent{0};
    // Received by the host, each the next one its model sent, unchanged.
    std::atomic<uint64_t> swipesDelivered{0};
    std::atomic<uint64_t> notificationsDelivered{0};
    std::atomic<uint64_t> commandsAnswered{0};
    // Received but not what was sent next: another reader's, out of order,
    // or changed.
    std::atomic<uint64_t> corrupted{0};
    // Commands whose call failed (result code not 0).
    std::atomic<uint64_t> commandsFailed{0};
    // Events the library reported as lost (dropped callbacks, error
    // callbacks), and the error callbacks themselves.
    std::atomic<uint64_t> reportedLost{0};
    std::atomic<uint64_t> errorCallbacks{0};
    // Unplugs made, and disconnections the host was told of.
    std::atomic<uint64_t> unplugs{0};
    std::atomic<uint64_t> disconnects{0};

    uint64_t eventsSent() const { return swipesSent + notificationsSent; }
    uint64_t eventsDelivered() const { return swipesDelivered + notificationsDelivered; }
    // Events neither delivered nor reported lost (so far).
    uint64_t outstanding() const {
        const uint64_t accounted = eventsDelivered() + reportedLost + corrupted;
        return eventsSent() > accounted ? eventsSent() - accounted : 0;
    }
    // Adds what the library reports as lost for a handle about to be closed.
    void noteReportedLoss(unsigned long handle);
    // Adds every count of other (for totals).
    void add(const Ledger& other);
};

}  // namespace quorin_soak
