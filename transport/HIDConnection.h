#pragma once

#include "transport/iConnection.h"

namespace quorin {

// USB HID connection (being built).
class HIDConnection : public iConnection {
public:
    static iConnection* open(const char* pathScheme);
    static int enumDevices(iConnectionEnumDevice fnFoundDevice);
};

}  // namespace quorin
