#pragma once

#include "extended/Veyra.h"

namespace quorin {

// Extended-protocol model that needs a pause before its handshake and whose
// responses are read at once.
class tPivra : public Veyra {
public:
    static constexpr int HANDSHAKE_DELAY_MS = 300;

    // Waits 300 ms, then runs the Veyra handshake.
    void afterOpen() override;
    int waitForCommand() override;
};

}  // namespace quorin
