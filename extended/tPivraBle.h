#pragma once

#include "extended/VeyraBle.h"

namespace quorin {

// The Bluetooth LE variant of the tPivra model: the VeyraBle handshake,
// unchanged.
class tPivraBle : public VeyraBle {
public:
    void afterOpen() override;
};

}  // namespace quorin
