#include "brindlecap/functions/filtrations_evaluation/checks/runners_internal.hpp"

#include "brindlecap/functions/filtrations_evaluation/checks/checks_internal.hpp"
#include "brindlecap/functions/evaluation_pipeline/check_registry.hpp"

namespace brindlecap::functions::filtrations_evaluation::detail {

namespace {

using TestCases = std::optional<std::vector<CorrectnessTestCase>>;
using CheckFn = CheckOutcome (*)(const std::string&, const Operator&, FiltrationEvaluationConfig&,
                                 numeric::Generator&);

// A runner of a check that takes no test cases.
CheckRunner ignoring_cases(CheckFn check) {
    return [check](const std::string& n, const Operator& op, FiltrationEvaluationConfig& c, numeric::Generator& g,
                   const TestCases&) { return check(n, op, c, g); };
}

}  // namespace

const std::map<std::int64_t, CheckRunner>& CHECK_RUNNERS() {
    static const std::map<std::int64_t, CheckRunner> table = {
        {1, ignoring_cases(run_check_1_contract)},
        {2, [](const std::string& n, const Operator& op, FiltrationEvaluationConfig& c, numeric::Generator& g,
               const TestCases& cases) { return run_check_3_correctness(n, op, c, g, cases); }},
        {3, ignoring_cases(run_check_4_nan)},
        {4, ignoring_cases(run_check_4_determinism)},
        {5, ignoring_cases(run_check_5_parallel_safety)},
        {6, ignoring_cases(run_check_6_boundary_family)},
        {7, ignoring_cases(run_check_7_bias)},
        {8, ignoring_cases(run_check_8_speed)},
    };
    return table;
}

const std::map<std::int64_t, std::string>& CHECK_NAME_BY_NUMBER() {
    static const std::map<std::int64_t, std::string> table = evaluation_pipeline::get_check_key_map("filtration");
    return table;
}

}  // namespace brindlecap::functions::filtrations_evaluation::detail
