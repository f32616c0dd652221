#pragma once

#include <map>

namespace quorin {

// Lets a reader ask its connection to decode fields of a report. No
// connection decodes anything: every question is answered with "nothing".
class iDecoder {
public:
    virtual ~iDecoder() = default;
    // A reader would set these before asking a decoding connection for
    // fields; with no such connection nothing sets them today.
    virtual bool setDecodingContext(void* context);
    virtual bool setDecodingConfig(std::map<int, unsigned long> config);
    // Returns false and leaves *data untouched.
    virtual bool getULong(int infoId, unsigned long* data, void* infoBlock, int blockLen);
    // Sets *dataLen to 0 (when dataLen is set) and returns false.
    virtual bool getBytes(int infoId, unsigned char* data, int* dataLen, void* infoBlock,
                          int blockLen);

protected:
    void* decodingContext = nullptr;
};

}  // namespace quorin
