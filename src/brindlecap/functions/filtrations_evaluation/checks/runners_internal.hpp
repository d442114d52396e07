#pragma once
// The runner of each canonical check number.

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "brindlecap/functions/filtrations_evaluation/checks/test_case.hpp"
#include "brindlecap/functions/filtrations_evaluation/core/operator.hpp"
#include "brindlecap/functions/filtrations_evaluation/metadata/config.hpp"
#include "brindlecap/functions/evaluation_utils/evaluation_utils.hpp"
#include "brindlecap/numeric/generator_internal.hpp"

namespace brindlecap::functions::filtrations_evaluation::detail {

using CheckRunner = std::function<evaluation_utils::CheckOutcome(
    const std::string& name, const Operator& impl, FiltrationEvaluationConfig& cfg,
    numeric::Generator& rng, const std::optional<std::vector<CorrectnessTestCase>>& test_cases)>;

// Canonical check number -> runner.
const std::map<std::int64_t, CheckRunner>& CHECK_RUNNERS();
// The check registry service's number -> name map for the family, as it was at first use.
const std::map<std::int64_t, std::string>& CHECK_NAME_BY_NUMBER();

}  // namespace brindlecap::functions::filtrations_evaluation::detail
