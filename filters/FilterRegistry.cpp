#include "filters/FilterRegistry.h"

#include "common/ResultCode.h"
#include "filters/LegacyQuill.h"
#include "filters/TidelinkFilter.h"
#include "filters/V5SLIP.h"

namespace quorin {

namespace {

template <typename Filter>
std::unique_ptr<FormatFilter> makeFilter() {
    return std::make_unique<Filter>();
}

}  // namespace

FilterRegistry& FilterRegistry::instance() {
    // Never destroyed: a serial connection left open when the process exits
    // is closed by the session's teardown, whatever the order of the static
    // destructors.
    static FilterRegistry* registry = new FilterRegistry();
    return *registry;
}

FilterRegistry::FilterRegistry() {
    const char* keys[FILTER_COUNT] = {"NONE", "LEGACY", "TIDELINK", "SLIP"};
    const Maker makers[FILTER_COUNT] = {&makeFilter<FormatFilter>, &makeFilter<LegacyQuill>,
                                        &makeFilter<TidelinkFilter>, &makeFilter<V5SLIP>};
    for (int i = 0; i < FILTER_COUNT; ++i) {
        m_makers[i] = makers[i];
        m_owned[i] = makers[i]();
        filters[i].Name = keys[i];
        filters[i].filter = m_owned[i].get();
    }
}

FormatFilter* FilterRegistry::find(const std::string& Name) const {
    for (const FormatFilterList& entry : filters) {
        if (entry.Name == Name) {
            return entry.filter;
        }
    }
    throw static_cast<int>(RC_BAD_ARGUMENT);
}

std::unique_ptr<FormatFilter> FilterRegistry::make(const FormatFilter* kind) const {
    for (int i = 0; i < FILTER_COUNT; ++i) {
        if (filters[i].filter == kind) {
            return m_makers[i]();
        }
    }
    return nullptr;
}

}  // namespace quorin
