#include "Report.h"

#include <cmath>

#include "quorin/JsonWriter.h"

namespace quorin_bench {

namespace {

std::string jsonString(const std::string& text) {
    return quorin::cli::JsonWriter::quote(text);
}

std::string jsonNumber(double value) {
    if (!std::isfinite(value)) {
        return "null";
    }
    char text[32];
    std::snprintf(text, sizeof(text), "%.6g", value);
    return text;
}

std::string jsonSummary(const Summary& s) {
    return "{\"count\": " + std::to_string(s.count) + ", \"median\": " + jsonNumber(s.median) +
           ", \"p10\": " + jsonNumber(s.p10) + ", \"p90\": " + jsonNumber(s.p90) +
           ", \"min\": " + jsonNumber(s.min) + ", \"max\": " + jsonNumber(s.max) +
           ", \"mean\": " + jsonNumber(s.mean) + "}";
}

const char* checkName(Check check) {
    switch (check) {
        case Check::RATIO_AT_MOST:
            return "ratio_at_most";
        case Check::VALUE_BELOW:
            return "median_below";
        case Check::NONE:
            break;
    }
    return "none";
}

void printSummaryLine(FILE* out, const std::string& who, const Summary& s) {
    std::fprintf(
        out, "    %-26s n=%-4zu median %10.3f  p10 %10.3f  p90 %10.3f  min %10.3f  max %10.3f\n",
        who.c_str(), s.count, s.median, s.p10, s.p90, s.min, s.max);
}

}  // namespace

double Metric::ratio() const {
    if (!hasBaseline() || baseline.count == 0 || baseline.median <= 0) {
        return 0;
    }
    return value.median / baseline.median;
}

bool Metric::met() const {
    switch (check) {
        case Check::RATIO_AT_MOST:
            return value.count > 0 && ratio() > 0 && ratio() <= limit;
        case Check::VALUE_BELOW:
            return value.count > 0 && value.median < limit;
        case Check::NONE:
            break;
    }
    return true;
}

void Report::printText(FILE* out) const {
    for (const ScenarioResult& r : m_results) {
        std::fprintf(out, "\n[%d] %s\n", r.number, r.title.c_str());
        if (!r.error.empty()) {
            std::fprintf(out, "    NOT RUN: %s\n", r.error.c_str());
        }
        for (const Metric& m : r.metrics) {
            std::fprintf(out, "  %s (%s)\n", m.name.c_str(), m.unit.c_str());
            printSummaryLine(out, m.subject, m.value);
            if (m.hasBaseline()) {
                printSummaryLine(out, m.baselineName, m.baseline);
            }
            if (m.check == Check::RATIO_AT_MOST) {
                std::fprintf(out, "    ratio of medians %.3f, target <= %.2f: %s\n", m.ratio(),
                             m.limit, m.met() ? "MET" : "NOT MET");
            } else if (m.check == Check::VALUE_BELOW) {
                std::fprintf(out, "    median %.3f %s, target < %g: %s\n", m.value.median,
                             m.unit.c_str(), m.limit, m.met() ? "MET" : "NOT MET");
            } else if (m.hasBaseline() && m.ratio() > 0) {
                std::fprintf(out, "    ratio of medians %.3f\n", m.ratio());
            }
        }
        for (const std::string& note : r.notes) {
            std::fprintf(out, "  note: %s\n", note.c_str());
        }
    }
    std::fprintf(out, "\nsummary:");
    for (const ScenarioResult& r : m_results) {
        for (const Metric& m : r.metrics) {
            if (m.checked()) {
                std::fprintf(out, "\n  [%d] %-52s %s", r.number, m.name.c_str(),
                             m.met() ? "MET" : "NOT MET");
            }
        }
        if (!r.error.empty()) {
            std::fprintf(out, "\n  [%d] %-52s NOT RUN", r.number, r.title.c_str());
        }
    }
    std::fprintf(out, "\n");
}

void Report::printJson(FILE* out, bool quick) const {
    std::fprintf(out, "{\n  \"quick\": %s,\n  \"scenarios\": [", quick ? "true" : "false");
    for (size_t i = 0; i < m_results.size(); ++i) {
        const ScenarioResult& r = m_results[i];
        std::fprintf(out, "%s\n    {\"number\": %d, \"key\": %s, \"title\": %s,", i ? "," : "",
                     r.number, jsonString(r.key).c_str(), jsonString(r.title).c_str());
        if (!r.error.empty()) {
            std::fprintf(out, " \"error\": %s,", jsonString(r.error).c_str());
        }
        std::fprintf(out, "\n     \"metrics\": [");
        for (size_t j = 0; j < r.metrics.size(); ++j) {
            const Metric& m = r.metrics[j];
            std::fprintf(out,
                         "%s\n       {\"name\": %s, \"unit\": %s, \"subject\": %s, \"value\": %s",
                         j ? "," : "", jsonString(m.name).c_str(), jsonString(m.unit).c_str(),
                         jsonString(m.subject).c_str(), jsonSummary(m.value).c_str());
            if (m.hasBaseline()) {
                std::fprintf(out, ", \"baseline_name\": %s, \"baseline\": %s, \"ratio\": %s",
                             jsonString(m.baselineName).c_str(), jsonSummary(m.baseline).c_str(),
                             jsonNumber(m.ratio()).c_str());
            }
            if (m.checked()) {
                std::fprintf(out, ", \"check\": \"%s\", \"limit\": %s, \"met\": %s",
                             checkName(m.check), jsonNumber(m.limit).c_str(),
                             m.met() ? "true" : "false");
            }
            std::fprintf(out, "}");
        }
        std::fprintf(out, "%s],\n     \"notes\": [", r.metrics.empty() ? "" : "\n     ");
        for (size_t j = 0; j < r.notes.size(); ++j) {
            std::fprintf(out, "%s%s", j ? ", " : "", jsonString(r.notes[j]).c_str());
        }
        std::fprintf(out, "]}");
    }
    std::fprintf(out, "\n  ],\n  \"all_met\": %s\n}\n", allMet() ? "true" : "false");
}

bool Report::allMet() const {
    for (const ScenarioResult& r : m_results) {
        if (!r.error.empty()) {
            return false;
        }
        for (const Metric& m : r.metrics) {
            if (!m.met()) {
                return false;
            }
        }
    }
    return true;
}

}  // namespace quorin_bench
