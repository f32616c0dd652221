#include "extended/VeyraOEMStrivoBootLoader.h"

#include "common/ResultCode.h"

namespace quorin {

void VeyraOEMStrivoBootLoader::afterOpen() {}

int VeyraOEMStrivoBootLoader::waitForCommand() {
    return RC_OK;
}

}  // namespace quorin
