#include "extended/tPivraBle.h"

namespace quorin {

void tPivraBle::afterOpen() {
    VeyraBle::afterOpen();
}

}  // namespace quorin
