#pragma once

#include "extended/Veyra.h"

namespace quorin {

// Extended-protocol model that needs a pause before its handshake.
class tPivra : public Veyra {
public:
};

}  // namespace quorin
