#pragma once
// Records of an acceptance run and the published table of canonical checks.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "brindlecap/functions/filtrations_evaluation/checks/test_case.hpp"
#include "brindlecap/functions/filtrations_evaluation/metadata/config.hpp"
#include "brindlecap/functions/evaluation_utils/evaluation_utils.hpp"

namespace brindlecap::functions::filtrations_evaluation {

// The framework's check records, bound here as the Python module binds them.
using CheckOutcome = evaluation_utils::CheckOutcome;
using CheckStatus = evaluation_utils::CheckStatus;
using EvaluationCheckPlugin = evaluation_utils::EvaluationCheckPlugin;

struct OperatorCheckResult {
    std::string operator_name;
    bool accepted = false;
    std::vector<std::pair<std::string, CheckOutcome>> checks;  // in visiting order
    std::vector<std::string> warnings;
    const CheckOutcome* check(std::string_view name) const;
};

struct EvalFiltrationConfig {
    std::string name;
    std::optional<std::vector<CorrectnessTestCase>> test_cases;
};

struct FiltrationEvaluationResult {
    std::vector<std::pair<std::string, OperatorCheckResult>> operator_results;  // evaluation order
    FiltrationEvaluationConfig config;
    std::vector<EvalFiltrationConfig> operator_configs;
};

struct CheckRegistryEntry {
    std::int64_t check_number = 0;
    std::string name;
    std::string default_mode = "mandatory";
    bool verifies_return_shape = false;
    bool verifies_return_ids = false;
    bool verifies_input_immutability = false;
    bool verifies_empty_pool = false;
    friend bool operator==(const CheckRegistryEntry&, const CheckRegistryEntry&) = default;
};

// Canonical check name -> entry, in service order (built once, at first use).
const std::vector<std::pair<std::string, CheckRegistryEntry>>& CHECK_REGISTRY();

}  // namespace brindlecap::functions::filtrations_evaluation
