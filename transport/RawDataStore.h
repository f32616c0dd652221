#pragma once

#include <mutex>
#include <string>
#include <vector>

namespace quorin {

// A bounded, thread-safe list of raw reports kept as lower-case hex text,
// oldest first. Reports may be added on a receiving thread while another
// thread reads them.
class RawDataStore {
public:
    static constexpr size_t MAX_ENTRIES = 256;

    static std::string binary2Hex(const unsigned char* buffer, unsigned int bufferLength);
    // Appends the report, dropping the oldest entries so at most 256 remain.
    void addBinary(const unsigned char* buffer, unsigned int bufferLength);
    // All entries joined by "\n" (no trailing newline); "" when empty.
    std::string getAll();
    void clear();

private:
    std::mutex lock;                   // guards HexData
    std::vector<std::string> HexData;  // guarded by lock
};

}  // namespace quorin
