#pragma once
// The acceptance pipeline: every check on every operator, with reproducible generators.

#include <optional>
#include <vector>

#include "brindlecap/functions/filtrations_evaluation/acceptance/plugins.hpp"
#include "brindlecap/functions/filtrations_evaluation/acceptance/results.hpp"
#include "brindlecap/functions/registry_and_store/store.hpp"

namespace brindlecap::functions::filtrations_evaluation {

// Validates and ingests `config` (changed in place and copied into the result), discovers the
// operators of `store` or checks the given ones, runs the canonical checks and the plug-ins.
FiltrationEvaluationResult evaluate(FiltrationEvaluationConfig& config,
                                    std::optional<std::vector<EvalFiltrationConfig>> operator_configs,
                                    const registry_and_store::FunctionStore& store);

}  // namespace brindlecap::functions::filtrations_evaluation
