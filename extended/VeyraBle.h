#pragma once

#include "extended/Veyra.h"

namespace quorin {

// An extended-protocol reader on a Bluetooth LE link.
class VeyraBle : public Veyra {
public:
};

}  // namespace quorin
