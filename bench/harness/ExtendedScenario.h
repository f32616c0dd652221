// Scenario 4: a 1,000-byte extended command and its 4 KiB response with the
// virtual EMV reader, through the Ex API, against the floor the exchange
// cannot beat: 50 ms before each feature-report write it makes, any busy
// pause that happened, and the virtual reader's own time.
#pragma once

#include "Options.h"
#include "Report.h"

namespace quorin_bench {

class ExtendedScenario {
public:
    explicit ExtendedScenario(const Options& options) : m_options(options) {}
    ScenarioResult run();

private:
    const Options& m_options;
};

}  // namespace quorin_bench
