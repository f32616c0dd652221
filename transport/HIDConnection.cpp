#include "transport/HIDConnection.h"

namespace quorin {

iConnection* HIDConnection::open(const char* /*pathScheme*/)
{
    return nullptr;
}

int HIDConnection::enumDevices(iConnectionEnumDevice /*fnFoundDevice*/)
{
    return 0;
}

}  // namespace quorin
