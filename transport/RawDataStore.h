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
    // Largest storage kept for reuse after a clear: a few input reports' text.
    static constexpr size_t MAX_SPARE = 16384;

    static void writeHex(const unsigned char* buffer, unsigned int bufferLength, std::string& out);

    std::mutex lock;                   // guards HexData and m_spare
    std::vector<std::string> HexData;  // guarded by lock
    std::string m_spare;               // storage of a cleared entry, for the next
};

}  // namespace quorin
