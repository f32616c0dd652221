#include "extended/tPivra.h"

#include "common/ResultCode.h"

namespace quorin {

void tPivra::afterOpen() {
    pause(HANDSHAKE_DELAY_MS);
    Veyra::afterOpen();
}

int tPivra::waitForCommand() {
    return RC_OK;
}

}  // namespace quorin
