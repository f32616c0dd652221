#pragma once

#include "extended/Veyra.h"

namespace quorin {

// An extended-protocol reader in boot-loader mode.
class VeyraOEMStrivoBootLoader : public Veyra {
public:
};

}  // namespace quorin
