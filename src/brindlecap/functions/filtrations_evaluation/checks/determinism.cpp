// Determinism check: two calls on one seeded pool and, for a built-in whose row asks for it (top_n),
// the tie at the cutoff against its reference; the shared body of the framework judges the outputs.

#include <string>
#include <utility>

#include "brindlecap/functions/filtrations_evaluation/checks/check_support_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/checks/checks_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/core/id_set_object_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/core/operator_table_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/harness/invocation_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/harness/reference_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/harness/run_observer_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/harness/synthetic_internal.hpp"
#include "brindlecap/runtime/errors.hpp"

namespace brindlecap::functions::filtrations_evaluation::detail {

CheckOutcome run_check_4_determinism(const std::string& op_name, const Operator& op_impl,
                                     FiltrationEvaluationConfig& config, numeric::Generator& /*rng*/) {
    // Every input is rebuilt from config.seed; the check generator plays no part.
    try {
        // Named copies, not structured bindings: lambdas below capture them (clang 14 cannot).
        const auto fixture = build_seeded_operator_fixture(op_name, config, Weights::skipped);
        const PoolPtr& local_pool = fixture.first;
        const OperatorCategory category = fixture.second;

        // The observer's record of the repeated call: raised (no_error) or differed (repeat).
        const auto report_repeat = [&](Expectation expectation, std::optional<IdSet> first,
                                       std::optional<IdSet> second) {
            report_disagreement([&] {
                CallArguments args = default_call_arguments(op_name, *local_pool, category);
                Disagreement d = make_disagreement("determinism", "repeated call", op_name, op_impl, local_pool,
                                                   std::move(args.params), std::move(args.children), expectation);
                d.expected_seen = std::move(first);
                d.selected_seen = std::move(second);
                return d;
            });
        };
        runtime::List repeated;
        std::vector<IdSet> repeated_sets;
        for (int call = 0; call < 2; ++call) {
            try {
                repeated_sets.push_back(call_operator(op_name, op_impl, *local_pool, category));
            } catch (...) {
                report_repeat(Expectation::no_error, std::nullopt, std::nullopt);
                throw;
            }
            repeated.push_back(id_set_value(repeated_sets.back()));
        }
        if (!(repeated_sets[0] == repeated_sets[1])) {
            report_repeat(Expectation::repeat, repeated_sets[0], repeated_sets[1]);
        }

        Dict first_output{{"repeated_call", repeated[0]}};
        Dict second_output{{"repeated_call", repeated[1]}};
        bool cutoff_tie_checked = false;

        const BuiltinOperatorFacts* builtin = find_builtin(op_name);
        if (builtin != nullptr && builtin->probe_cutoff_tie) {
            numeric::Generator tie_rng = make_rng(config.seed);
            const PoolPtr tie_pool = build_correctness_test_pool(config, tie_rng, Weights::skipped);
            const Dict tie_params = leaf_parameters(op_name).cutoff_tie.deep_copy();
            const std::optional<Operator> reference = get_reference_operator(op_name);
            if (!reference) throw runtime::RuntimeError("Missing authoritative " + op_name + " reference operator.");

            const auto report_tie = [&](std::optional<IdSet> want, std::optional<IdSet> got) {
                report_disagreement([&] {
                    Disagreement d = make_disagreement("determinism", "cutoff tie", op_name, op_impl, tie_pool,
                                                       tie_params, std::nullopt, Expectation::reference);
                    d.reference = reference;
                    d.expected_seen = std::move(want);
                    d.selected_seen = std::move(got);
                    return d;
                });
            };
            Dict under_test_params = tie_params.copy();
            IdSet under_test;
            try {
                under_test = call_operator(op_name, op_impl, *tie_pool, category, &under_test_params);
            } catch (...) {
                report_tie(std::nullopt, std::nullopt);
                throw;
            }
            first_output.set("cutoff_tie", id_set_value(under_test));
            Dict reference_params = tie_params.copy();
            const IdSet referenced = call_operator(op_name, *reference, *tie_pool, category, &reference_params);
            second_output.set("cutoff_tie", id_set_value(referenced));
            if (!(under_test == referenced)) report_tie(referenced, under_test);
            cutoff_tie_checked = true;
        }

        const auto run_count = static_cast<std::int64_t>(repeated.size());
        const Dict context{
            {"first_output", std::move(first_output)},
            {"second_output", std::move(second_output)},
            {"family", "filtration"},
            {"check_name", "determinism"},
            {"operator_name", op_name},
            {"observation_context", Dict{{"repeated_call_count", run_count}, {"cutoff_tie_checked", cutoff_tie_checked}}},
        };
        const evaluation_pipeline::SharedCheckResult shared = run_shared_filtration_check("determinism", context);

        Dict evidence{
            {"run_count", run_count},
            {"fresh_instance_or_fresh_run", true},
            {"cutoff_tie_checked", cutoff_tie_checked},
        };
        for (const auto& [key, value] : shared.evidence) evidence.set(key, value);
        if (const Value* match = evidence.find("outputs_match")) {
            const Value copied = *match;
            evidence.set("deterministic", copied);
            evidence.set("runs_identical", copied);
        }

        const bool passed = *shared.status == "pass";
        return CheckOutcome{passed ? CheckStatus::pass : CheckStatus::fail,
                            passed ? "Repeated calls and required cutoff ties matched."
                                   : "Repeated-call or cutoff-tie determinism diverged.",
                            std::move(evidence)};
    } catch (const std::exception& e) {
        runtime::rethrow_if_fatal(e);
        const std::string text = runtime::error_text(e);
        return CheckOutcome{CheckStatus::fail, "Determinism check failed: " + text,
                            Dict{{"error", text}, {"exception_type", runtime::error_kind(e)}}};
    }
}

}  // namespace brindlecap::functions::filtrations_evaluation::detail
