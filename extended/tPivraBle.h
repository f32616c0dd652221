#pragma once

#include "extended/VeyraBle.h"

namespace quorin {

// The Bluetooth LE variant of the tPivra model.
class tPivraBle : public VeyraBle {
public:
};

}  // namespace quorin
