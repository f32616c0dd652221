#include "reader/StrivoBootLoader.h"

namespace quorin {

int StrivoBootLoader::waitForCommand() {
    return 0;
}

}  // namespace quorin
