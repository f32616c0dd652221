#pragma once

#include "extended/Veyra.h"

namespace quorin {

// An extended-protocol reader on a serial port.
class VeyraSerial : public Veyra {
public:
};

}  // namespace quorin
