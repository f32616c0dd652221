// Run-length decoding of card data and notifications on SLIP links.
//
// Encoded form: a byte immediately followed by an equal byte starts a run,
// and the byte after the pair is the count N (0..255):
//
//     41 42 43 43 05 44   ->   41 42 43 43 43 43 43 44
//           `-run-'
//
// Every other byte stands for itself, so two equal data bytes travel as
// b b 02, and a count of 0 produces nothing.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace quorin {

// DecodeRLEData results.
constexpr int RLE_OK = 0;
constexpr int RLE_CUT_RUN = 2;   // a run's count byte is missing
constexpr int RLE_OVERFLOW = 3;  // the output would pass the capacity

// Decodes iDataLen bytes into pubDecodedData. On entry *pDecodeDataLen is the
// capacity of pubDecodedData; decoding never writes past it. On RLE_OK it
// holds the decoded count; on a failure the count written so far.
int DecodeRLEData(const unsigned char* pubEncodedData, int iDataLen, unsigned char* pubDecodedData,
                  unsigned long* pDecodeDataLen);

class RLE {
public:
    explicit RLE(unsigned long bufferSize);
    RLE(const RLE&) = delete;
    RLE& operator=(const RLE&) = delete;

    // The decoded bytes; empty when decoding fails or would exceed bufferSize.
    std::vector<unsigned char> decode(const std::vector<unsigned char>& data);
    // The same on hex text.
    std::string decode(const std::string& hexData);

private:
    std::unique_ptr<unsigned char[]> buffer;
    unsigned long bufferSize;
};

}  // namespace quorin
