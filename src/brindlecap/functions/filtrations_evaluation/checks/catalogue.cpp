#include "brindlecap/functions/filtrations_evaluation/checks/catalogue_internal.hpp"

#include <array>

#include "brindlecap/functions/evaluation_pipeline/check_registry.hpp"
#include "brindlecap/functions/filtrations_evaluation/checks/checks_internal.hpp"

namespace brindlecap::functions::filtrations_evaluation::detail {

namespace {

// A ninth check is one more row (and its routine).
constexpr std::array<CheckDescriptor, 8> CATALOGUE{{
    {.number = 1, .name = "contract", .title = "Contract Conformance", .routine = "run_check_1_contract",
     .run = &run_check_1_contract, .verifies_return_shape = true, .verifies_return_ids = true,
     .verifies_input_immutability = true, .verifies_empty_pool = true, .writes_reproducers = true},
    {.number = 2, .name = "correctness", .title = "Reference Equivalence", .routine = "run_check_3_correctness",
     .run = &run_check_3_correctness, .writes_reproducers = true},
    {.number = 3, .name = "nan_handling", .title = "NaN Handling", .routine = "run_check_4_nan",
     .run = &run_check_4_nan, .writes_reproducers = true},
    {.number = 4, .name = "determinism", .title = "Determinism", .routine = "run_check_4_determinism",
     .run = &run_check_4_determinism, .writes_reproducers = true},
    {.number = 5, .name = "parallel_safety", .title = "Parallel Safety", .routine = "run_check_5_parallel_safety",
     .run = &run_check_5_parallel_safety},
    {.number = 6, .name = "boundary_conditions", .title = "Boundary Conditions",
     .routine = "run_check_6_boundary_family", .run = &run_check_6_boundary_family, .writes_reproducers = true},
    {.number = 7, .name = "bias", .title = "Bias", .routine = "run_check_7_bias", .run = &run_check_7_bias,
     .chart = ReportChart::bias_trials},
    {.number = 8, .name = "speed", .title = "Speed", .routine = "run_check_8_speed", .run = &run_check_8_speed,
     .chart = ReportChart::speed_timings},
}};

// Checks shipped as plug-ins (the strict profile): rows by name, for their reproducers and the
// report; they have no number of their own (plug-ins are numbered when a run starts) and no
// routine here (the plug-in runs them).
constexpr std::array<CheckDescriptor, 6> PLUGIN_ROWS{{
    {.number = 0, .name = "strict_oracle", .title = "Strict: Differential Testing", .routine = "strict_oracle",
     .run = CheckRoutine{nullptr}, .default_mode = "strict", .writes_reproducers = true},
    {.number = 0, .name = "strict_relations", .title = "Strict: Relations", .routine = "strict_relations",
     .run = CheckRoutine{nullptr}, .default_mode = "strict", .writes_reproducers = true},
    {.number = 0, .name = "strict_immutable", .title = "Strict: Immutability", .routine = "strict_immutable",
     .run = CheckRoutine{nullptr}, .default_mode = "strict", .verifies_input_immutability = true,
     .writes_reproducers = true},
    {.number = 0, .name = "strict_threads", .title = "Strict: Concurrency", .routine = "strict_threads",
     .run = CheckRoutine{nullptr}, .default_mode = "strict"},
    {.number = 0, .name = "strict_growth", .title = "Strict: Growth", .routine = "strict_growth",
     .run = CheckRoutine{nullptr}, .default_mode = "strict"},
    {.number = 0, .name = "strict_validation", .title = "Strict: Validation Parity", .routine = "strict_validation",
     .run = CheckRoutine{nullptr}, .default_mode = "strict", .writes_reproducers = true},
}};

}  // namespace

evaluation_utils::CheckOutcome CheckDescriptor::operator()(
    const std::string& op_name, const Operator& op, FiltrationEvaluationConfig& config, numeric::Generator& rng,
    const std::optional<std::vector<CorrectnessTestCase>>& test_cases) const {
    if (const auto* with_cases = std::get_if<CheckRoutineWithCases>(&run)) {
        return (*with_cases)(op_name, op, config, rng, test_cases);
    }
    return std::get<CheckRoutine>(run)(op_name, op, config, rng);
}

std::span<const CheckDescriptor> check_catalogue() { return CATALOGUE; }

const CheckDescriptor* catalogue_check(std::int64_t number) {
    for (const CheckDescriptor& check : CATALOGUE) {
        if (check.number == number) return &check;
    }
    return nullptr;
}

const CheckDescriptor* catalogue_check(std::string_view name) {
    for (const CheckDescriptor& check : CATALOGUE) {
        if (check.name == name) return &check;
    }
    for (const CheckDescriptor& check : PLUGIN_ROWS) {
        if (check.name == name) return &check;
    }
    return nullptr;
}

const std::map<std::int64_t, std::string>& CHECK_NAME_BY_NUMBER() {
    static const std::map<std::int64_t, std::string> table = evaluation_pipeline::get_check_key_map("filtration");
    return table;
}

}  // namespace brindlecap::functions::filtrations_evaluation::detail
