// A set of measurements of one quantity and its order statistics.
#pragma once

#include <cstddef>
#include <vector>

namespace quorin_bench {

struct Summary {
    size_t count = 0;
    double median = 0;
    double p10 = 0;
    double p90 = 0;
    double min = 0;
    double max = 0;
    double mean = 0;
};

class SampleSet {
public:
    void add(double value) { m_values.push_back(value); }
    size_t size() const { return m_values.size(); }
    bool empty() const { return m_values.empty(); }
    const std::vector<double>& values() const { return m_values; }
    // Percentiles by linear interpolation between the closest ranks.
    Summary summary() const;

private:
    std::vector<double> m_values;
};

}  // namespace quorin_bench
