#pragma once

#include "reader/Strivo.h"

namespace quorin {

// A plain reader in boot-loader mode.
class StrivoBootLoader : public Strivo {
public:
    // Boot-loader readers answer at once: no wait before the response.
    int waitForCommand() override;
};

}  // namespace quorin
