#pragma once
// The stages of an acceptance run.

#include <cstdint>
#include <optional>
#include <set>
#include <vector>

#include "brindlecap/functions/filtrations_evaluation/acceptance/evaluate.hpp"
#include "brindlecap/functions/evaluation_pipeline/check_registry.hpp"

namespace brindlecap::functions::filtrations_evaluation::detail {

// evaluate() for callers whose store may be absent: ValueError "store (FunctionStore) is
// required." at its place in the validation sequence.
FiltrationEvaluationResult evaluate(FiltrationEvaluationConfig& config,
                                    std::optional<std::vector<EvalFiltrationConfig>> operator_configs,
                                    const registry_and_store::FunctionStore* store);

// The check seeds of one operator: integers(0, 2**31) drawn from default_rng(seed), one per
// canonical check in order; a skipped check draws none (nullopt), shifting later seeds.
std::vector<std::optional<std::uint64_t>> draw_check_seeds(
    std::int64_t seed, const std::vector<evaluation_pipeline::CheckEntry>& canonical,
    const std::set<std::int64_t>& skip);

}  // namespace brindlecap::functions::filtrations_evaluation::detail
