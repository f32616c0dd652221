// The harness's results: per scenario, metrics measured on the library and,
// where there is one, on a baseline measured in the same run, with the
// target each is held to. Printed as a plain table or as JSON.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "SampleSet.h"

namespace quorin_bench {

enum class Check {
    NONE,           // shown only
    RATIO_AT_MOST,  // median / baseline median <= limit
    VALUE_BELOW     // median < limit
};

struct Metric {
    std::string name;
    std::string unit;
    std::string subject = "library";
    Summary value;
    std::string baselineName;  // empty: no baseline
    Summary baseline;
    Check check = Check::NONE;
    double limit = 0;

    bool hasBaseline() const { return !baselineName.empty(); }
    // value.median / baseline.median; 0 without a usable baseline.
    double ratio() const;
    bool checked() const { return check != Check::NONE; }
    bool met() const;
};

struct ScenarioResult {
    int number = 0;
    std::string key;
    std::string title;
    std::vector<Metric> metrics;
    std::vector<std::string> notes;
    std::string error;  // set when the scenario could not run
};

class Report {
public:
    void add(ScenarioResult result) { m_results.push_back(std::move(result)); }
    void printText(FILE* out) const;
    void printJson(FILE* out, bool quick) const;
    // True when every checked metric met its target and every scenario ran.
    bool allMet() const;

private:
    std::vector<ScenarioResult> m_results;
};

}  // namespace quorin_bench
