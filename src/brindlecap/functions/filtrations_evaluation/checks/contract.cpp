// Contract conformance and shape checks: return type, subset of the pool, no pool mutation,
// behaviour on an empty pool.

#include <memory>
#include <string>
#include <vector>

#include "brindlecap/functions/filtrations_evaluation/checks/check_support_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/checks/checks_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/core/errors.hpp"
#include "brindlecap/functions/filtrations_evaluation/harness/invocation_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/harness/pool_keeper_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/harness/run_observer_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/harness/snapshot_internal.hpp"
#include "brindlecap/runtime/text.hpp"

namespace brindlecap::functions::filtrations_evaluation::detail {

namespace {

// The observer's record of a default call that raised.
Disagreement raised(const std::string& op_name, const Operator& op_impl, const PoolPtr& pool,
                    OperatorCategory category, std::string label, std::vector<std::string> allowed) {
    CallArguments args = default_call_arguments(op_name, *pool, category);
    Disagreement d = make_disagreement("contract", std::move(label), op_name, op_impl, pool, std::move(args.params),
                                       std::move(args.children), Expectation::no_error);
    d.allowed_errors = std::move(allowed);
    return d;
}

// Calls the operator on an empty pool: returning or raising an empty-pool error is fine.
void check_empty_pool(const std::string& op_name, const Operator& op_impl, OperatorCategory category,
                      CheckRecorder& check) {
    auto empty_pool = std::make_shared<SignalPool>();
    pool_keeper().append(empty_pool);
    try {
        (void)call_operator(op_name, op_impl, *empty_pool, category);
        check.evidence.set("empty_pool_pass", true);
        check.note("Empty pool handled");
    } catch (const EmptyPoolError&) {
        check.evidence.set("empty_pool_pass", true);
        check.note("Empty pool raises expected error");
    } catch (const EmptyFiltrationError&) {
        check.evidence.set("empty_pool_pass", true);
        check.note("Empty pool raises expected error");
    } catch (const std::exception& e) {
        runtime::rethrow_if_fatal(e);
        const std::string text = runtime::error_text(e);
        check.evidence.set("empty_pool_pass", false);
        check.evidence.set("empty_pool_error", text);
        check.fail("Empty pool crash: " + runtime::error_kind(e) + ": " + text);
        report_disagreement([&] {
            return raised(op_name, op_impl, empty_pool, category, "call on an empty pool",
                          {"EmptyPoolError", "EmptyFiltrationError"});
        });
    }
}

}  // namespace

CheckOutcome run_check_1_contract(const std::string& op_name, const Operator& op_impl,
                                  FiltrationEvaluationConfig& config, numeric::Generator& rng) {
    CheckRecorder check("");
    const OperatorCategory category = operator_category(op_name);
    check.guard(
        [&] {
            const PoolPtr pool = check_pool(config, rng);
            const IdSet recorded_ids = pool->keys();
            const PoolSnapshot snapshot = snapshot_signal_pool(*pool);

            const IdSet result = [&] {
                try {
                    return call_operator(op_name, op_impl, *pool, category);
                } catch (...) {
                    report_disagreement(
                        [&] { return raised(op_name, op_impl, pool, category, "call on the check's pool", {}); });
                    throw;
                }
            }();

            // An IdSet is a set of strings by construction.
            check.evidence.set("return_valid", true);
            check.evidence.set("return_shape_valid", true);
            check.note("Returns Set[str]");

            std::vector<std::string> invalid;
            for (const auto& id : result.sorted()) {
                if (!recorded_ids.contains(id)) invalid.push_back(id);
            }
            if (!invalid.empty()) {
                check.evidence.set("subset_valid", false);
                check.evidence.set("invalid_ids", string_list(invalid));
                check.fail("Invalid IDs: " + runtime::set_display(invalid));
            } else {
                check.evidence.set("subset_valid", true);
                check.note("All returned IDs valid");
            }

            if (pool->keys() == recorded_ids && pool_matches_snapshot(*pool, snapshot)) {
                check.evidence.set("pool_unchanged", true);
                check.evidence.set("input_immutability", true);
                check.note("Pool not mutated");
            } else {
                check.evidence.set("pool_unchanged", false);
                check.evidence.set("input_immutability", false);
                check.evidence.set("mutation_detected", true);
                check.fail("Pool mutated!");
            }

            check_empty_pool(op_name, op_impl, category, check);
            check.evidence.set("contract_checks", static_cast<std::int64_t>(check.detail_count()));
        },
        ErrorDetail::kind_and_text);
    return std::move(check).outcome();
}

CheckOutcome run_check_2_shape(const std::string& op_name, const Operator& op_impl,
                               FiltrationEvaluationConfig& config, numeric::Generator& rng) {
    CheckRecorder check("Shape check");
    const OperatorCategory category = operator_category(op_name);
    check.guard(
        [&] {
            const PoolPtr pool = check_pool(config, rng);
            (void)call_operator(op_name, op_impl, *pool, category);

            // The validated result is an IdSet: a set whose elements are all strings.
            check.evidence.set("observed_type", "set");
            check.evidence.set("expected_type", "set");
            check.evidence.set("return_type", "Set[str]");
            check.evidence.set("output_type_correct", true);
            check.note("Output type: set (correct)");
            check.evidence.set("all_elements_str", true);

            check.evidence.set("resolve_filtrations_return", "FiltrationResult");
            check.note("resolve_filtrations returns FiltrationResult");
            check.evidence.set("extract_weights_return", "ndarray (A, N_alloc) float64");
            check.note("extract_filtration_weights returns ndarray float64");
        },
        ErrorDetail::kind_and_text);
    return std::move(check).outcome();
}

}  // namespace brindlecap::functions::filtrations_evaluation::detail
