#pragma once

namespace quorin {

// Receiver of errors a connection finds (the reader object implements it).
// It lives with the connections, which hold a pointer to it, so the transport
// layer includes nothing above itself.
class ErrorHandler {
public:
    virtual ~ErrorHandler() = default;
    virtual void setError(int err, char* message, void* env) = 0;
};

}  // namespace quorin
