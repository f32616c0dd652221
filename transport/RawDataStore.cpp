#include "transport/RawDataStore.h"

#include <algorithm>
#include <cstring>

#include "common/MutexLock.h"

namespace quorin {

namespace {
// The two lower-case digits of every byte value, so a byte costs one copy.
struct HexPairs {
    char pairs[256][2] = {};
    constexpr HexPairs() {
        constexpr const char* digits = "0123456789abcdef";
        for (int b = 0; b < 256; ++b) {
            pairs[b][0] = digits[b >> 4];
            pairs[b][1] = digits[b & 0x0F];
        }
    }
};
constexpr HexPairs g_hexPairs;
}  // namespace

void RawDataStore::writeHex(const unsigned char* buffer, size_t bufferLength, char* out) {
    for (size_t i = 0; i < bufferLength; ++i, out += 2) {
        std::memcpy(out, g_hexPairs.pairs[buffer[i]], 2);
    }
}

std::string RawDataStore::binary2Hex(const unsigned char* buffer, unsigned int bufferLength) {
    std::string out;
    if (buffer != nullptr && bufferLength != 0) {
        out.resize(static_cast<size_t>(bufferLength) * 2);
        writeHex(buffer, bufferLength, &out[0]);
    }
    return out;
}

void RawDataStore::addBinary(const unsigned char* buffer, unsigned int bufferLength) {
    MutexLock guard(lock);
    while (m_reports.size() > MAX_ENTRIES - 1) {
        m_reports.erase(m_reports.begin());
    }
    // Every report a reader sends passes through here (twice for card data),
    // so this is on the path from a swipe to the host's callback. The bytes
    // are kept as they came, and turned into text only when asked for. A
    // store is mostly cleared after each report: the report takes over the
    // storage of the last one cleared, and no allocation is made.
    CardBytes report = std::move(m_spare);
    m_spare.clear();
    report.clear();
    if (buffer != nullptr) {
        report.assign(buffer, buffer + bufferLength);
    }
    m_reports.push_back(std::move(report));
}

CardText RawDataStore::getAll() {
    MutexLock guard(lock);
    size_t length = m_reports.empty() ? 0 : m_reports.size() - 1;
    for (const auto& report : m_reports) {
        length += 2 * report.size();
    }
    CardText out(length, '\n');
    char* p = out.empty() ? nullptr : &out[0];
    for (size_t i = 0; i < m_reports.size(); ++i) {
        if (i != 0) {
            ++p;  // the '\n' already there
        }
        writeHex(m_reports[i].data(), m_reports[i].size(), p);
        p += 2 * m_reports[i].size();
    }
    return out;
}

void RawDataStore::clear() {
    MutexLock guard(lock);
    if (!m_reports.empty() && m_reports.back().capacity() > m_spare.capacity() &&
        m_reports.back().capacity() <= MAX_SPARE) {
        // A report may carry a card's tracks: nothing of it waits in the
        // spare storage for the next one.
        wipeBytes(m_reports.back());
        m_spare = std::move(m_reports.back());
    }
    // The others go back to the pool, which wipes them.
    m_reports.clear();
}

}  // namespace quorin
