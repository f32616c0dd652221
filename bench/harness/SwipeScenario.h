// Scenario 1: a card swipe on the virtual USB reader, from the moment the
// report is pushed (becomes readable) to the host's card-data callback,
// against a plain hidapi poll loop calling a function; and the library's
// own CPU work per swipe. Two more variants of the loop hand each report to
// another thread (a new one per report, or one waiting worker), which shows
// what the hand-off to a callback thread costs on its own.
#pragma once

#include "Options.h"
#include "Report.h"

namespace quorin_bench {

class SwipeScenario {
public:
    explicit SwipeScenario(const Options& options) : m_options(options) {}
    ScenarioResult run();

private:
    const Options& m_options;
};

}  // namespace quorin_bench
