#pragma once
// The framework's check registry service: canonical checks per family and shared check bodies.

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "brindlecap/runtime/value.hpp"

namespace brindlecap::functions::evaluation_pipeline {

using CheckEntry = std::pair<std::int64_t, std::string>;

// (number, name) in canonical order; for "filtration": 1 contract, 2 correctness,
// 3 nan_handling, 4 determinism, 5 parallel_safety, 6 boundary_conditions, 7 bias, 8 speed.
// Other families have none.
std::vector<CheckEntry> get_check_registry_entries(const std::string& family);
// number -> name for the family.
std::map<std::int64_t, std::string> get_check_key_map(const std::string& family);

// What a shared body returns; a missing status is nullopt.
struct SharedCheckResult {
    std::optional<std::string> status;
    runtime::Dict evidence;
};
// Bodies take keyword arguments only (a dict of name -> value).
using SharedCheckBody = std::function<SharedCheckResult(const runtime::Dict& context)>;
using SharedCheckBodyMap = std::map<std::pair<std::string, std::string>, SharedCheckBody>;

// ("filtration", "determinism"): pass when first_output and second_output (dicts) have the same
// keys and equal values under every key; evidence {"outputs_match", "compared_keys" (sorted),
// "mismatched_keys" (sorted)}.
// ("filtration", "parallel_safety"): pass when every entry of thread_results equals the first;
// evidence {"results_match", "result_count", "mismatched_indices"}.
SharedCheckBodyMap get_shared_check_body_map();

// Test seams: replace the canonical entries / shared bodies (nullopt restores the defaults).
void override_check_registry_entries(std::optional<std::vector<CheckEntry>> entries);
void override_shared_check_body_map(std::optional<SharedCheckBodyMap> bodies);

}  // namespace brindlecap::functions::evaluation_pipeline
