#include "Ledger.h"

#include "Quorin.h"

namespace quorin_soak {

void Ledger::noteReportedLoss(unsigned long handle) {
    // Callbacks the library dropped (its queue was full); each was also
    // reported to the error callback, which is counted apart.
    reportedLost += GetDroppedCallbackCountEx(handle);
}

void Ledger::add(const Ledger& other) {
    swipesSent += other.swipesSent;
    notificationsSent += other.notificationsSent;
    commandsSent += other.commandsSent;
    swipesDelivered += other.swipesDelivered;
    notificationsDelivered += other.notificationsDelivered;
    commandsAnswered += other.commandsAnswered;
    corrupted += other.corrupted;
    commandsFailed += other.commandsFailed;
    reportedLost += other.reportedLost;
    errorCallbacks += other.errorCallbacks;
    unplugs += other.unplugs;
    disconnects += other.disconnects;
}

}  // namespace quorin_soak
