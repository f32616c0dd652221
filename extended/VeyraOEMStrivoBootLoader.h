#pragma once

#include "extended/Veyra.h"

namespace quorin {

// An extended-protocol reader in boot-loader mode: no opening handshake, and
// responses are read at once.
class VeyraOEMStrivoBootLoader : public Veyra {
public:
    void afterOpen() override;
    int waitForCommand() override;
};

}  // namespace quorin
