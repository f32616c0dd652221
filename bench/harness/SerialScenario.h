// Scenario 3: a 64-byte command and its 64-byte answer with a serial reader
// on a pseudo-terminal (SLIP framing), through the Ex API, against the same
// frames written and read raw on another pseudo-terminal whose emulator
// answers the same way; and a raw variant whose answers come through a
// receiving thread, as the library's do.
#pragma once

#include "Options.h"
#include "Report.h"

namespace quorin_bench {

class SerialScenario {
public:
    explicit SerialScenario(const Options& options) : m_options(options) {}
    ScenarioResult run();

private:
    const Options& m_options;
};

}  // namespace quorin_bench
