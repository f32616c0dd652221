#include "filters/FilterRegistry.h"

#include "common/MutexLock.h"
#include "common/ResultCode.h"
#include "filters/LegacyQuill.h"
#include "filters/TidelinkFilter.h"
#include "filters/V5SLIP.h"

namespace quorin {

FilterRegistry& FilterRegistry::instance() {
    // Never destroyed: a serial connection left open when the process exits
    // is closed by the session's destructor, and its receiving thread runs
    // the filter until then, whatever the order of the static destructors.
    static FilterRegistry* registry = new FilterRegistry();
    return *registry;
}

FilterRegistry::FilterRegistry() {
    m_owned[0] = std::make_unique<FormatFilter>();
    m_owned[1] = std::make_unique<LegacyQuill>();
    m_owned[2] = std::make_unique<TidelinkFilter>();
    m_owned[3] = std::make_unique<V5SLIP>();
    const char* keys[FILTER_COUNT] = {"NONE", "LEGACY", "TIDELINK", "SLIP"};
    for (int i = 0; i < FILTER_COUNT; ++i) {
        filters[i].Name = keys[i];
        filters[i].filter = m_owned[i].get();
        m_exclusive[i] = (i != 0);  // only the pass-through keeps no stream state
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

int FilterRegistry::indexOf(const FormatFilter* filter) const {
    for (int i = 0; i < FILTER_COUNT; ++i) {
        if (filters[i].filter == filter) {
            return i;
        }
    }
    return -1;
}

bool FilterRegistry::claim(FormatFilter* filter) {
    int index = indexOf(filter);
    if (index < 0) {
        return false;
    }
    if (!m_exclusive[index]) {
        return true;
    }
    MutexLock guard(m_claimLock);
    if (m_claimed[index]) {
        return false;
    }
    m_claimed[index] = true;
    filter->resetInput();
    return true;
}

void FilterRegistry::release(FormatFilter* filter) {
    int index = indexOf(filter);
    if (index < 0 || !m_exclusive[index]) {
        return;
    }
    MutexLock guard(m_claimLock);
    m_claimed[index] = false;
}

}  // namespace quorin
