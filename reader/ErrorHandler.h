#pragma once

namespace quorin {

// Receiver of errors found below the reader (the reader object implements it).
class ErrorHandler {
public:
    virtual ~ErrorHandler() = default;
    virtual void setError(int err, char* message, void* env) = 0;
};

}  // namespace quorin
