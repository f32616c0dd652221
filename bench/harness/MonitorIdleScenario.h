// Scenario 5: what the reader monitor (OnDeviceListChanged) costs. The
// monitor's own thread is measured, from the kernel's per-thread counters,
// so other load on the machine does not enter the figure: its CPU time and
// wake-ups while nothing is plugged, and its CPU time per reader plugged or
// pulled out on the virtual USB bus.
#pragma once

#include "Options.h"
#include "Report.h"

namespace quorin_bench {

class MonitorIdleScenario {
public:
    explicit MonitorIdleScenario(const Options& options) : m_options(options) {}
    ScenarioResult run();

private:
    const Options& m_options;
};

}  // namespace quorin_bench
