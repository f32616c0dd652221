// Counts texts in the memory of this process: every readable mapping of
// /proc/self/maps, read through /proc/self/mem.
//
// The texts searched for must not be counted where the test keeps them, so
// the scan owns a private region that it never reads: the test writes what it
// searches for (and whatever else it must keep out of the count, such as its
// own copy of a card record) there, and the scan's read buffer lives there
// too. Nothing of a searched text may be built anywhere else in the process.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace quorin_test {

class MemoryScan {
public:
    struct Needle {
        const char* text;
        size_t length;
    };

    // privateBytes: room for the test's own use in the private region.
    explicit MemoryScan(size_t privateBytes);
    ~MemoryScan();
    MemoryScan(const MemoryScan&) = delete;
    MemoryScan& operator=(const MemoryScan&) = delete;

    bool ok() const { return m_region != nullptr; }
    // The test's part of the private region, all zero at first.
    char* privateArea() const { return m_region; }

    // How often each needle occurs in the process's memory outside the
    // private region.
    std::vector<size_t> count(const std::vector<Needle>& needles);
    // Occurrences of needle in [text, text + length).
    static size_t countIn(const char* text, size_t length, const Needle& needle);

    // The VmFlags of the mapping that holds address ("" when none does).
    static std::string vmFlagsOf(const void* address);

private:
    static constexpr size_t CHUNK = 1 << 20;

    char* m_region = nullptr;
    size_t m_regionSize = 0;
    size_t m_privateBytes = 0;
    char* m_buffer = nullptr;  // CHUNK plus the longest needle, in the region
};

}  // namespace quorin_test
