#pragma once

#include "reader/Strivo.h"

namespace quorin {

// A plain-protocol reader model.
class Inkward : public Strivo {
public:
    // This model needs no opening handshake.
    void afterOpen() override;
};

}  // namespace quorin
