// Scenario 2: CPU time of open, idle readers (1, 4 and 16 on the virtual USB
// bus) against as many threads of the plain hidapi poll loop.
#pragma once

#include "Options.h"
#include "Report.h"

namespace quorin_bench {

class IdleScenario {
public:
    explicit IdleScenario(const Options& options) : m_options(options) {}
    ScenarioResult run();

private:
    const Options& m_options;
};

}  // namespace quorin_bench
