// NaN-handling check: signals whose field value is NaN or missing must never pass an operator.

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "brindlecap/functions/filtrations_evaluation/checks/checks.hpp"
#include "brindlecap/functions/filtrations_evaluation/checks/check_support.hpp"
#include "brindlecap/functions/filtrations_evaluation/pipeline/fixtures.hpp"
#include "brindlecap/runtime/errors.hpp"
#include "brindlecap/runtime/text.hpp"

namespace brindlecap::functions::filtrations_evaluation::detail {

namespace {

constexpr std::size_t kPoolSize = 10;
constexpr std::size_t kNanSignals = 3;  // indices 0-2
const double kNaN = std::numeric_limits<double>::quiet_NaN();

std::string nan_test_id(std::size_t i) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "nan_test_%03zu", i);
    return buf;
}

std::vector<std::string> nan_ids() {
    std::vector<std::string> out;
    for (std::size_t i = 0; i < kNanSignals; ++i) out.push_back(nan_test_id(i));
    return out;
}

// Ten signals, the first three with NaN / empty values; full metadata or is_sharpe only.
PoolPtr nan_pool(const FiltrationEvaluationConfig& config, numeric::Generator& gen, bool full_metadata) {
    const std::size_t rows = dimension(config.T);
    const std::size_t cols = dimension(config.N_alloc);
    auto pool = std::make_shared<SignalPool>();
    pool->reserve(kPoolSize);
    for (std::size_t i = 0; i < kPoolSize; ++i) {
        const bool missing = i < kNanSignals;
        UsefulSignal signal;
        signal.weights = std::make_shared<numeric::Matrix>(gen.standard_normal(rows, cols));
        auto metadata = std::make_shared<Dict>();
        metadata->set("is_sharpe", missing ? kNaN : static_cast<double>(i));
        if (full_metadata) {
            metadata->set("submission_date", missing ? kNaN : 1.7e9 + static_cast<double>(i));
            metadata->set("rotation_families_used", missing ? Value::list(runtime::List{}) : Value::list({"numerical"}));
            metadata->set("signal_category", missing ? "" : "momentum");
            metadata->set("is_active", !missing);
        }
        signal.metadata = std::move(metadata);
        pool->insert(nan_test_id(i), std::move(signal));
    }
    pool_keeper().append(pool);
    return pool;
}

const char* base_field(const std::string& field_type) {
    if (field_type == "date") return "submission_date";
    if (field_type == "list_str") return "rotation_families_used";
    if (field_type == "categorical") return "signal_category";
    if (field_type == "boolean") return "is_active";
    return "is_sharpe";
}

Dict probe_params(const std::string& op_name, const std::string& field_type) {
    Dict params{{"field", base_field(field_type)}};
    if (op_name == "in_") {
        params.set("values", Value::list({field_type == "list_str" ? "numerical" : "momentum"}));
    } else if (op_name == "between") {
        params.set("low", 0.0);
        params.set("high", 20.0);
    } else if (op_name == "top_pct" || op_name == "bottom_pct") {
        params.set("pct", 0.5);
    } else if (op_name == "top_n" || op_name == "bottom_n") {
        params.set("n", 3);
    } else if (field_type == "boolean") {
        params.set("value", true);
    } else if (field_type == "categorical") {
        params.set("value", "momentum");
    } else {
        params.set("value", 0.0);
    }
    return params;
}

// The NaN signal identifiers present in a result, ascending.
std::vector<std::string> leaked_ids(const IdSet& result) {
    std::vector<std::string> out;
    for (const auto& id : nan_ids()) {
        if (result.contains(id)) out.push_back(id);
    }
    return out;
}

Dict missing_field_defaults() {
    return Dict{{"numeric", kNaN},
                {"date", kNaN},
                {"list_str", Value::list(runtime::List{})},
                {"categorical", ""},
                {"boolean", false}};
}

}  // namespace

CheckOutcome run_check_4_nan(const std::string& op_name, const Operator& op_impl,
                             FiltrationEvaluationConfig& config, numeric::Generator& rng) {
    Dict evidence;
    std::vector<std::string> details;
    bool passed = true;
    const std::string category = get_operator_category(op_name);

    try {
        std::vector<std::string> field_types;
        for (const auto& [type, ops] : FIELD_TYPE_OPERATORS) {
            if (std::find(ops.begin(), ops.end(), op_name) != ops.end()) field_types.push_back(type);
        }
        if (category == "boolean" || category == "wrapper" || field_types.empty()) field_types = {"numeric"};
        std::sort(field_types.begin(), field_types.end());
        evidence.set("field_types_tested", string_list(field_types));

        numeric::Generator gen = child_rng(rng);
        const PoolPtr pool = nan_pool(config, gen, true);
        const std::vector<std::string> nan_signals = nan_ids();

        if (category == "comparison" || category == "rank") {
            std::vector<std::string> tested;
            std::vector<std::string> errors;
            for (const std::string& type : field_types) {
                const Dict params = probe_params(op_name, type);
                try {
                    const IdSet result = dispatch_op(op_name, op_impl, *pool, params);
                    tested.push_back(type);
                    if (type == "numeric" || type == "date") {
                        const std::vector<std::string> leaked = leaked_ids(result);
                        if (!leaked.empty()) {
                            passed = false;
                            evidence.set("nan_leaked", string_list(leaked));
                            details.push_back("NaN leaked for " + type + ": " + runtime::set_display(leaked));
                        }
                    }
                } catch (const EmptyFiltrationError&) {
                    tested.push_back(type);
                    details.push_back("EmptyFiltrationError for " + type + " (correct for all-NaN)");
                } catch (const std::exception& e) {
                    passed = false;
                    const std::string text = runtime::error_text(e);
                    errors.push_back(type + ": " + runtime::error_kind(e) + ": " + text);
                    details.push_back("Error testing " + type + ": " + text);
                }
            }
            std::sort(tested.begin(), tested.end());
            evidence.set("field_types_tested", string_list(tested));
            evidence.set("nan_count", static_cast<std::int64_t>(kNanSignals));
            evidence.set("nan_signals", string_list(nan_signals));
            if (!errors.empty()) evidence.set("errors", string_list(errors));
            const bool any_leak = std::any_of(details.begin(), details.end(), [](const std::string& d) {
                return d.find("leaked") != std::string::npos;
            });
            if (!any_leak) {
                evidence.set("nan_excluded", true);
                details.push_back("NaN correctly excluded for " + std::to_string(tested.size()) + " field types");
            }
        } else if (category == "unknown") {
            try {
                const IdSet low = dispatch_op(op_name, op_impl, *pool, Dict{{"field", "is_sharpe"}, {"value", 0.0}});
                const IdSet high =
                    dispatch_op(op_name, op_impl, *pool, Dict{{"field", "is_sharpe"}, {"value", 100.0}});
                if (low == high) {
                    evidence.set("nan_excluded", true);
                    details.emplace_back("Unknown operator does not use comparison params; NaN check skipped");
                } else {
                    const std::vector<std::string> leaked = leaked_ids(low);
                    evidence.set("nan_count", static_cast<std::int64_t>(kNanSignals));
                    evidence.set("nan_signals", string_list(nan_signals));
                    if (!leaked.empty()) {
                        passed = false;
                        evidence.set("nan_leaked", string_list(leaked));
                        evidence.set("nan_included", true);
                        evidence.set("violation", "NaN signals included in result: " + runtime::repr_list(leaked));
                        details.push_back("NaN signals leaked: " + runtime::set_display(leaked));
                    } else {
                        evidence.set("nan_excluded", true);
                        details.emplace_back("NaN correctly excluded (unknown operator)");
                    }
                }
            } catch (const EmptyFiltrationError&) {
                details.emplace_back("EmptyFiltrationError raised (correct for all-NaN)");
            } catch (const std::exception& e) {
                passed = false;
                const std::string text = runtime::error_text(e);
                evidence.set("error", text);
                details.push_back("Error: " + text);
            }
        } else {
            // Combinators and the wrapper, on children that already exclude the NaN signals.
            const PoolPtr second = nan_pool(config, gen, false);
            evidence.set("nan_count", static_cast<std::int64_t>(kNanSignals));
            evidence.set("nan_signals", string_list(nan_signals));
            const IdSet all_ids = second->keys();
            IdSet non_nan = all_ids;
            for (const auto& id : nan_signals) non_nan.erase(id);
            try {
                if (op_name == "and_") {
                    const IdSet result = dispatch_op(op_name, op_impl, *second, Dict{},
                                                     std::vector<IdSet>{all_ids, non_nan});
                    if (!(result == non_nan)) throw runtime::AssertionError();
                } else if (op_name == "or_") {
                    dispatch_op(op_name, op_impl, *second, Dict{},
                                std::vector<IdSet>{non_nan, IdSet::over(second->index())});
                } else {
                    dispatch_op(op_name, op_impl, *second, Dict{}, std::vector<IdSet>{non_nan});
                }
                evidence.set("nan_excluded", true);
                details.emplace_back("NaN propagation through boolean combinator verified");
            } catch (const std::exception& e) {
                // A wrong and_ result fails the check; other combinators are only reported.
                if (op_name == "and_") passed = false;
                evidence.set("nan_excluded", false);
                details.push_back("NaN propagation error: " + runtime::error_text(e));
            }
            details.emplace_back("Boolean/wrapper: NaN handling verified through children");
        }

        evidence.set("missing_field_defaults", missing_field_defaults());
    } catch (const std::exception& e) {
        record_exception(e, evidence, details, passed);
    }

    return check_outcome(passed, details, std::move(evidence), "NaN handling check");
}

}  // namespace brindlecap::functions::filtrations_evaluation::detail
