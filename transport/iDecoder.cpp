#include "transport/iDecoder.h"

namespace quorin {

bool iDecoder::setDecodingContext(void* context) {
    decodingContext = context;
    return true;
}

bool iDecoder::setDecodingConfig(std::map<int, unsigned long> /*config*/) {
    return false;
}

bool iDecoder::getULong(int /*infoId*/, unsigned long* /*data*/, void* /*infoBlock*/,
                        int /*blockLen*/) {
    return false;
}

bool iDecoder::getBytes(int /*infoId*/, unsigned char* /*data*/, int* dataLen, void* /*infoBlock*/,
                        int /*blockLen*/) {
    if (dataLen != nullptr) {
        *dataLen = 0;
    }
    return false;
}

}  // namespace quorin
