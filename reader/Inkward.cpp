#include "reader/Inkward.h"

namespace quorin {

void Inkward::afterOpen() {}

}  // namespace quorin
