#pragma once

#include "reader/Strivo.h"

namespace quorin {

// A reader that speaks the extended command protocol over USB HID.
class Veyra : public Strivo {
public:
};

}  // namespace quorin
