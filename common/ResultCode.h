// Status codes used along the command path and by the transports.
// Reader-specific result bytes (any other value) pass through unchanged.
#pragma once

namespace quorin {

enum ResultCode : int {
    RC_OK = 0,                 // success
    RC_TIMEOUT = 1,            // no response in time, or the reader stayed busy
    RC_TOO_SHORT = 3,          // with-length command text shorter than four characters
    RC_NOT_OPEN = 5,           // no reader open, or the connection was closed
    RC_BAD_ARGUMENT = 6,       // command text or argument unusable (missing, too long, unframable)
    RC_BUSY = 15,              // another first-generation synchronous command is in flight
    RC_TRANSFER_FAILED = 17,   // device transfer failed, error status, or packets disagree
    RC_EXCEPTION = 255,        // an exception was caught at the boundary
    RC_UNSUPPORTED_WRITE = -1  // a connection was asked for a write kind it does not have
};

}  // namespace quorin
