#pragma once
// The acceptance pipeline: every check on every operator, with reproducible generators.

#include <cstdint>
#include <optional>
#include <set>
#include <vector>

#include "brindlecap/functions/evaluation_pipeline/check_registry.hpp"

#include "brindlecap/functions/filtrations_evaluation/pipeline/results.hpp"
#include "brindlecap/functions/registry_and_store/store.hpp"

namespace brindlecap::functions::filtrations_evaluation {

// Validates and ingests `config` (changed in place and copied into the result), discovers or
// checks the operators in `store`, runs the canonical checks and plug-ins.
FiltrationEvaluationResult evaluate(FiltrationEvaluationConfig& config,
                                    std::optional<std::vector<EvalFiltrationConfig>> operator_configs,
                                    const registry_and_store::FunctionStore* store);

namespace detail {
// The check seeds of one operator: integers(0, 2**31) drawn from default_rng(seed), one per
// canonical check in order; a skipped check draws none (nullopt), shifting later seeds.
std::vector<std::optional<std::uint64_t>> draw_check_seeds(
    std::int64_t seed, const std::vector<evaluation_pipeline::CheckEntry>& canonical,
    const std::set<std::int64_t>& skip);
}  // namespace detail

}  // namespace brindlecap::functions::filtrations_evaluation
