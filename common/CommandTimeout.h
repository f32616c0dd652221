#pragma once

namespace quorin {

// The command time-out in milliseconds (10000 at load): how long a serial
// connection waits for a response. Set by the host, read by the transports.
int commandTimeoutMs();
void setCommandTimeoutMs(int timeoutMs);

}  // namespace quorin
