#pragma once

#include "transport/iConnection.h"

namespace quorin {

// Serial-port connection (being built).
class SerialConnection : public iConnection {
public:
    static iConnection* open(const char* pathScheme);
};

}  // namespace quorin
