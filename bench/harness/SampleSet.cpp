#include "SampleSet.h"

#include <algorithm>
#include <numeric>

namespace quorin_bench {

namespace {

double percentile(const std::vector<double>& sorted, double p) {
    if (sorted.size() == 1) {
        return sorted[0];
    }
    double rank = p * static_cast<double>(sorted.size() - 1);
    size_t below = static_cast<size_t>(rank);
    if (below + 1 >= sorted.size()) {
        return sorted.back();
    }
    double fraction = rank - static_cast<double>(below);
    return sorted[below] + fraction * (sorted[below + 1] - sorted[below]);
}

}  // namespace

Summary SampleSet::summary() const {
    Summary s;
    s.count = m_values.size();
    if (m_values.empty()) {
        return s;
    }
    std::vector<double> sorted = m_values;
    std::sort(sorted.begin(), sorted.end());
    s.median = percentile(sorted, 0.5);
    s.p10 = percentile(sorted, 0.1);
    s.p90 = percentile(sorted, 0.9);
    s.min = sorted.front();
    s.max = sorted.back();
    s.mean = std::accumulate(sorted.begin(), sorted.end(), 0.0) / static_cast<double>(s.count);
    return s;
}

}  // namespace quorin_bench
