#pragma once
// The catalogue of canonical checks: one row per check, with everything the rest of the system
// knows about it. The pipeline runs a check through its row, the published registry table takes
// its flags from it, the report its chart, write_reproducers whether its failing comparisons
// become folders, the Python module its routine. Which numbers a run has is the check registry
// service's to say; a number it lists needs a row here.
//
// A plug-in check has no row: the report shows its outcome and evidence, no chart, and no
// reproducers are written for it. The report and write_reproducers look rows up by name, so the
// rows of checks shipped as plug-ins (the strict profile: number 0, no routine) give them
// reproducers the same way; check_catalogue() and the number lookup hold the canonical rows only.

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "brindlecap/functions/evaluation_utils/evaluation_utils.hpp"
#include "brindlecap/functions/filtrations_evaluation/checks/test_case.hpp"
#include "brindlecap/functions/filtrations_evaluation/core/operator.hpp"
#include "brindlecap/functions/filtrations_evaluation/metadata/config.hpp"
#include "brindlecap/numeric/generator_internal.hpp"

namespace brindlecap::functions::filtrations_evaluation::detail {

// A check's routine: (operator name, operator, configuration, check generator), and the
// caller's test cases for the one check that takes them.
using CheckRoutine = evaluation_utils::CheckOutcome (*)(const std::string&, const Operator&,
                                                        FiltrationEvaluationConfig&, numeric::Generator&);
using CheckRoutineWithCases = evaluation_utils::CheckOutcome (*)(
    const std::string&, const Operator&, FiltrationEvaluationConfig&, numeric::Generator&,
    const std::optional<std::vector<CorrectnessTestCase>>&);

// What the report's Charts section draws from what a check hands the run observer.
enum class ReportChart { none, bias_trials, speed_timings };

struct CheckDescriptor {
    std::int64_t number;
    const char* name;     // the service's name for the number; outcomes and reproducers go by it
    const char* title;    // "Contract Conformance"
    const char* routine;  // the routine's own name (its numbering is its own): "run_check_3_correctness"
    std::variant<CheckRoutine, CheckRoutineWithCases> run;
    // CheckRegistryEntry's fields beyond number and name.
    const char* default_mode = "mandatory";
    bool verifies_return_shape = false;
    bool verifies_return_ids = false;
    bool verifies_input_immutability = false;
    bool verifies_empty_pool = false;
    // Its failing comparisons, handed to the run observer, become reproducer folders.
    bool writes_reproducers = false;
    ReportChart chart = ReportChart::none;

    // Runs the routine; test cases reach only a routine that takes them.
    evaluation_utils::CheckOutcome operator()(const std::string& op_name, const Operator& op,
                                              FiltrationEvaluationConfig& config, numeric::Generator& rng,
                                              const std::optional<std::vector<CorrectnessTestCase>>& test_cases) const;
};

// The rows, in canonical order.
std::span<const CheckDescriptor> check_catalogue();
// The row of a canonical number, or of a name (canonical or shipped plug-in); nullptr when none.
const CheckDescriptor* catalogue_check(std::int64_t number);
const CheckDescriptor* catalogue_check(std::string_view name);

// The check registry service's number -> name map for the family, as it was at first use.
const std::map<std::int64_t, std::string>& CHECK_NAME_BY_NUMBER();

}  // namespace brindlecap::functions::filtrations_evaluation::detail
