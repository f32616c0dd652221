#include "transport/SerialConnection.h"

namespace quorin {

iConnection* SerialConnection::open(const char* /*pathScheme*/)
{
    return nullptr;
}

}  // namespace quorin
