#include "MemoryScan.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "common/CardDataPool.h"

namespace quorin_test {

namespace {

constexpr size_t MAX_NEEDLE = 4096;

size_t pageRound(size_t n) {
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    return (n + page - 1) / page * page;
}

}  // namespace

MemoryScan::MemoryScan(size_t privateBytes) {
    m_privateBytes = pageRound(privateBytes);
    m_regionSize = m_privateBytes + pageRound(CHUNK + MAX_NEEDLE);
    void* p =
        mmap(nullptr, m_regionSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p != MAP_FAILED) {
        m_region = static_cast<char*>(p);
        m_buffer = m_region + m_privateBytes;
    }
}

MemoryScan::~MemoryScan() {
    if (m_region != nullptr) {
        explicit_bzero(m_region, m_regionSize);
        munmap(m_region, m_regionSize);
    }
}

size_t MemoryScan::countIn(const char* text, size_t length, const Needle& needle) {
    size_t found = 0;
    const char* p = text;
    const char* end = text + length;
    while (p < end) {
        const void* hit = memmem(p, static_cast<size_t>(end - p), needle.text, needle.length);
        if (hit == nullptr) {
            break;
        }
        ++found;
        p = static_cast<const char*>(hit) + 1;
    }
    // The search leaves pieces of the needle in the vector registers.
    quorin::CardDataPool::wipeRegisters();
    return found;
}

std::vector<size_t> MemoryScan::count(const std::vector<Needle>& needles) {
    std::vector<size_t> found(needles.size(), 0);
    size_t longest = 1;
    for (const Needle& n : needles) {
        longest = std::max(longest, n.length);
    }
    if (m_region == nullptr || longest > MAX_NEEDLE) {
        return found;
    }
    const int mem = open("/proc/self/mem", O_RDONLY | O_CLOEXEC);
    if (mem < 0) {
        return found;
    }
    // The map is read whole before the scan starts, so reading it adds no
    // mapping under the scan.
    std::vector<std::pair<uintptr_t, uintptr_t>> ranges;
    {
        std::ifstream maps("/proc/self/maps");
        std::string line;
        while (std::getline(maps, line)) {
            unsigned long start = 0;
            unsigned long end = 0;
            char perms[5] = {};
            if (std::sscanf(line.c_str(), "%lx-%lx %4s", &start, &end, perms) != 3 ||
                perms[0] != 'r') {
                continue;
            }
            const uintptr_t own = reinterpret_cast<uintptr_t>(m_region);
            if (start < own + m_regionSize && own < end) {
                continue;  // the private region (a mapping may have merged with it)
            }
            ranges.emplace_back(start, end);
        }
    }
    for (const auto& range : ranges) {
        // Matches that straddle two reads are found in the carried tail.
        size_t carried = 0;
        for (uintptr_t at = range.first; at < range.second;) {
            const size_t want = std::min<size_t>(CHUNK, range.second - at);
            const ssize_t got = pread(mem, m_buffer + carried, want, static_cast<off_t>(at));
            if (got <= 0) {
                break;  // unreadable (a guard page, [vvar])
            }
            const size_t total = carried + static_cast<size_t>(got);
            for (size_t i = 0; i < needles.size(); ++i) {
                // One wholly inside the carried tail was counted before.
                found[i] +=
                    countIn(m_buffer, total, needles[i]) - countIn(m_buffer, carried, needles[i]);
            }
            carried = std::min(longest - 1, total);
            std::memmove(m_buffer, m_buffer + total - carried, carried);
            at += static_cast<size_t>(got);
        }
    }
    close(mem);
    quorin::CardDataPool::wipeRegisters();
    explicit_bzero(m_buffer, CHUNK + MAX_NEEDLE);
    return found;
}

std::string MemoryScan::vmFlagsOf(const void* address) {
    const uintptr_t target = reinterpret_cast<uintptr_t>(address);
    std::ifstream smaps("/proc/self/smaps");
    std::string line;
    bool inside = false;
    while (std::getline(smaps, line)) {
        unsigned long start = 0;
        unsigned long end = 0;
        if (std::sscanf(line.c_str(), "%lx-%lx ", &start, &end) == 2 &&
            line.find(' ') != std::string::npos && line.find(':') > line.find(' ')) {
            inside = start <= target && target < end;
            continue;
        }
        if (inside && line.compare(0, 8, "VmFlags:") == 0) {
            return line.substr(8);
        }
    }
    return std::string();
}

}  // namespace quorin_test
