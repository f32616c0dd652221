#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "common/CardDataAllocator.h"
#include "common/CardText.h"
#include "common/MutexLock.h"

namespace quorin {

// A bounded, thread-safe list of raw reports, oldest first, given out as
// lower-case hex text. Reports may be added on a receiving thread while another
// thread reads them. Reports may be card data: they are kept in the card data
// pool and wiped when they are cleared or dropped.
class RawDataStore {
public:
    static constexpr size_t MAX_ENTRIES = 256;

    // Lower-case hex of the bytes, as the store keeps them; for a caller that
    // must match the store's form (the store itself converts as it adds).
    static std::string binary2Hex(const unsigned char* buffer, unsigned int bufferLength);
    // Appends the report, dropping the oldest entries so at most 256 remain.
    void addBinary(const unsigned char* buffer, unsigned int bufferLength);
    // All entries joined by "\n" (no trailing newline); "" when empty.
    CardText getAll();
    void clear();

private:
    // Largest storage kept for reuse after a clear: a few input reports.
    static constexpr size_t MAX_SPARE = 8192;

    // Writes 2 * bufferLength characters at out.
    static void writeHex(const unsigned char* buffer, size_t bufferLength, char* out);

    Mutex lock;  // guards m_reports and m_spare
    // The reports as received, oldest first.
    std::vector<CardBytes> m_reports GUARDED_BY(lock);
    // Storage of a cleared report, for the next (all zero).
    CardBytes m_spare GUARDED_BY(lock);
};

}  // namespace quorin
