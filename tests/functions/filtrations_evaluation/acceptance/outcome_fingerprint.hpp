#pragma once
// Everything an evaluation run reports, as text, with the speed check's measured durations left
// out: two runs of the same configuration must give equal fingerprints. Shared by the load test
// and the load benchmark.

#include <string>
#include <string_view>
#include <vector>

#include "brindlecap/functions/filtrations_evaluation/acceptance/evaluate.hpp"
#include "brindlecap/runtime/text.hpp"

namespace brindlecap::test {

inline bool is_timing_key(std::string_view key) {
    return key.ends_with("_elapsed_s") || key.ends_with("_time_s") || key == "median_us" || key == "p99_us" ||
           key == "throughput_per_sec";
}

inline std::vector<std::string> outcome_fingerprint(
    const functions::filtrations_evaluation::FiltrationEvaluationResult& result) {
    std::vector<std::string> out;
    for (const auto& [name, r] : result.operator_results) {
        out.push_back(name + (r.accepted ? " accepted" : " rejected"));
        for (const std::string& w : r.warnings) out.push_back(name + " warning " + w);
        for (const auto& [check, outcome] : r.checks) {
            runtime::Dict evidence;
            for (const auto& [key, value] : outcome.evidence) {
                if (!(key.is_str() && is_timing_key(key.as_str()))) evidence.set(key, value);
            }
            out.push_back(name + " " + check + " " + std::string(to_string(outcome.status)) + " " + outcome.details + " " +
                          runtime::repr(runtime::Value(evidence)));
        }
    }
    return out;
}

}  // namespace brindlecap::test
