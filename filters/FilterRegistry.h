// The process-wide table of framing filters: one row per FORMAT value of a
// serial path, each with the filter that stands for its kind of framing.
//
// The registry is created on first use and never destroyed. The filter of a
// row is what FormatFilter::GetFilter returns and what SerialOptions keeps;
// it names the kind. A serial connection runs a filter of its own, made by
// make() from that kind, since a framing filter buffers the received stream
// without a lock: two readers on the same framing each get their own frame
// buffer, and nothing of one link reaches the frames of another.
#pragma once

#include <memory>
#include <string>

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
    // A new filter of the kind of a row's filter, with an empty buffer, for
    // one connection; null when kind is not a row's filter.
    std::unique_ptr<FormatFilter> make(const FormatFilter* kind) const;

    const FormatFilterList& row(int index) const { return filters[index]; }

private:
    using Maker = std::unique_ptr<FormatFilter> (*)();

    FilterRegistry();

    std::unique_ptr<FormatFilter> m_owned[FILTER_COUNT];
    FormatFilterList filters[FILTER_COUNT];  // filled once by the constructor, then read-only
    Maker m_makers[FILTER_COUNT];            // read-only after construction
};

}  // namespace quorin
