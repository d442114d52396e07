#pragma once
// The acceptance checks. Each takes (operator name, operator, configuration, check generator)
// and returns a CheckOutcome; operator errors become outcomes.

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "brindlecap/functions/evaluation_pipeline/check_registry.hpp"
#include "brindlecap/functions/evaluation_utils/evaluation_utils.hpp"
#include "brindlecap/functions/filtrations_evaluation/checks/test_case.hpp"
#include "brindlecap/functions/filtrations_evaluation/core/names_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/core/operator.hpp"
#include "brindlecap/functions/filtrations_evaluation/core/pool.hpp"
#include "brindlecap/functions/filtrations_evaluation/metadata/config.hpp"
#include "brindlecap/numeric/generator_internal.hpp"

namespace brindlecap::functions::filtrations_evaluation::detail {

using evaluation_utils::CheckOutcome;

CheckOutcome run_check_1_contract(const std::string& op_name, const Operator& op_impl,
                                  FiltrationEvaluationConfig& config, numeric::Generator& rng);
CheckOutcome run_check_2_shape(const std::string& op_name, const Operator& op_impl,
                               FiltrationEvaluationConfig& config, numeric::Generator& rng);
CheckOutcome run_check_3_correctness(
    const std::string& op_name, const Operator& op_impl, FiltrationEvaluationConfig& config,
    numeric::Generator& rng,
    const std::optional<std::vector<CorrectnessTestCase>>& test_cases = std::nullopt);
// A combinator's (or the wrapper's) children on the correctness pool, and the set the correctness
// check expects of them.
std::pair<std::vector<IdSet>, IdSet> correctness_combinator_case(const std::string& op_name, const SignalPool& pool);
CheckOutcome run_check_4_nan(const std::string& op_name, const Operator& op_impl,
                             FiltrationEvaluationConfig& config, numeric::Generator& rng);
evaluation_pipeline::SharedCheckResult run_shared_filtration_check(
    const std::string& canonical_check_name, const Dict& context);
CheckOutcome run_check_4_determinism(const std::string& op_name, const Operator& op_impl,
                                     FiltrationEvaluationConfig& config, numeric::Generator& rng);
CheckOutcome run_check_5_parallel_safety(const std::string& op_name, const Operator& op_impl,
                                         FiltrationEvaluationConfig& config, numeric::Generator& rng);
CheckOutcome run_check_6_boundary_family(const std::string& op_name, const Operator& op_impl,
                                         FiltrationEvaluationConfig& config, numeric::Generator& rng);
CheckOutcome run_check_7_bias(const std::string& op_name, const Operator& op_impl,
                              FiltrationEvaluationConfig& config, numeric::Generator& rng);
CheckOutcome run_check_8_speed(const std::string& op_name, const Operator& op_impl,
                               FiltrationEvaluationConfig& config, numeric::Generator& rng);

// The monotonic clock (seconds) the speed check reads; runtime::monotonic until replaced.
// Returns the previous clock. Meant for tests, which swap in a clock they control.
using SpeedClock = double (*)();
SpeedClock set_speed_clock(SpeedClock clock);

}  // namespace brindlecap::functions::filtrations_evaluation::detail
