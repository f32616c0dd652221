// The process-wide table of framing filters, one instance of each, keyed by
// the FORMAT value of a serial path.
//
// The registry is created on first use and never destroyed;
// connections borrow the filter pointers. Because a framing filter buffers
// the received stream without a lock, a filter that holds stream state may
// serve only one connection at a time: a connection claims it when it opens
// and releases it after its receiving thread has ended. The "NONE" filter
// keeps no state between calls and may be shared.
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "common/MutexLock.h"
#include "filters/FormatFilter.h"

namespace quorin {

// One row of the registry: the FORMAT key and its filter.
typedef struct FormatFilterList_tag {
    std::string Name;
    FormatFilter* filter;
} FormatFilterList;

class FilterRegistry {
public:
    static constexpr int FILTER_COUNT = 4;

    static FilterRegistry& instance();

    // The filter of the first row whose key equals Name exactly; throws the
    // int 6 when no row matches.
    FormatFilter* find(const std::string& Name) const;
    // Takes the filter for one connection: true when it was free (or may be
    // shared), after clearing its buffered input; false when another
    // connection holds it.
    bool claim(FormatFilter* filter);
    // Gives a claimed filter back. Call only once nothing can feed it any more.
    void release(FormatFilter* filter);

    const FormatFilterList& row(int index) const { return filters[index]; }

private:
    FilterRegistry();
    int indexOf(const FormatFilter* filter) const;

    std::unique_ptr<FormatFilter> m_owned[FILTER_COUNT];
    FormatFilterList filters[FILTER_COUNT];  // filled once by the constructor, then read-only
    bool m_exclusive[FILTER_COUNT];          // read-only after construction
    Mutex m_claimLock;                       // guards m_claimed
    bool m_claimed[FILTER_COUNT] GUARDED_BY(m_claimLock) = {false, false, false, false};
};

}  // namespace quorin
