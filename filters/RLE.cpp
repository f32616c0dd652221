#include "filters/RLE.h"

#include "common/stdafx.h"

namespace quorin {

int DecodeRLEData(const unsigned char* pubEncodedData, int iDataLen, unsigned char* pubDecodedData,
                  unsigned long* pDecodeDataLen) {
    unsigned long capacity = (pDecodeDataLen != nullptr) ? *pDecodeDataLen : 0;
    unsigned long k = 0;
    int result = RLE_OK;
    int p = 0;
    while (p < iDataLen && result == RLE_OK) {
        unsigned char value = pubEncodedData[p];
        if (p + 1 < iDataLen && pubEncodedData[p + 1] == value) {
            if (p + 2 >= iDataLen) {
                result = RLE_CUT_RUN;
                break;
            }
            unsigned long count = pubEncodedData[p + 2];
            if (count > capacity - k) {
                result = RLE_OVERFLOW;
                break;
            }
            for (unsigned long i = 0; i < count; ++i) {
                pubDecodedData[k++] = value;
            }
            p += 3;
        } else {
            if (k >= capacity) {
                result = RLE_OVERFLOW;
                break;
            }
            pubDecodedData[k++] = value;
            p += 1;
        }
    }
    if (pDecodeDataLen != nullptr) {
        *pDecodeDataLen = k;
    }
    return result;
}

RLE::RLE(unsigned long bufferSize)
    : buffer(new unsigned char[bufferSize > 0 ? bufferSize : 1]), bufferSize(bufferSize) {}

std::vector<unsigned char> RLE::decode(const std::vector<unsigned char>& data) {
    unsigned long decoded = bufferSize;
    int result = DecodeRLEData(data.data(), static_cast<int>(data.size()), buffer.get(), &decoded);
    if (result != RLE_OK || decoded > bufferSize) {
        return std::vector<unsigned char>();
    }
    return std::vector<unsigned char>(buffer.get(), buffer.get() + decoded);
}

std::string RLE::decode(const std::string& hexData) {
    return BV2H(decode(H2BV(hexData)));
}

}  // namespace quorin
