#pragma once

#include "Quorin.h"

namespace quorin {

class Strivo;

// Receiver of a reader's events. The session's delegates implement it.
//
// Contract: calls arrive on the reader's receiving thread (card data,
// notifications, loss of the device), on the thread that attaches or closes
// the reader, or on a host thread clearing card data. An implementation does
// only short work there and must not destroy the reader it is called from.
class Strivo_Delegate {
public:
    virtual ~Strivo_Delegate() = default;
    virtual void OnError(Strivo* mag, int err, char* errString) = 0;
    virtual void OnDeviceChange(Strivo* mag, EDeviceStateValues status) = 0;
    virtual void OnCardUpdate(Strivo* msc, ECardDataStateValues status) = 0;
    virtual void OnNotification(Strivo* mag, unsigned short messageId, const unsigned char* data,
                                int dataLen) = 0;
    // The response of an asynchronous command worker, as lower-case hex from
    // the result code on. Called on the worker's thread.
    virtual void OnDeviceResponse(Strivo* /*mag*/, const char* /*resp*/) {}
};

}  // namespace quorin
