// NaN-handling check: signals whose field value is NaN or missing must never pass an operator.

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "brindlecap/functions/filtrations_evaluation/checks/check_support_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/checks/checks_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/core/errors.hpp"
#include "brindlecap/functions/filtrations_evaluation/core/operator_table_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/harness/invocation_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/harness/run_observer_internal.hpp"
#include "brindlecap/runtime/errors.hpp"
#include "brindlecap/runtime/text.hpp"

namespace brindlecap::functions::filtrations_evaluation::detail {

namespace {

constexpr std::size_t POOL_SIZE = 10;
constexpr std::size_t NAN_SIGNALS = 3;  // indices 0-2
const double NaN = std::numeric_limits<double>::quiet_NaN();

std::string nan_test_id(std::size_t i) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "nan_test_%03zu", i);
    return buf;
}

std::vector<std::string> nan_ids() {
    std::vector<std::string> out;
    for (std::size_t i = 0; i < NAN_SIGNALS; ++i) out.push_back(nan_test_id(i));
    return out;
}

// Ten signals, the first three with NaN / empty values; full metadata or is_sharpe only.
PoolPtr nan_pool(const FiltrationEvaluationConfig& config, numeric::Generator& gen, bool full_metadata) {
    const std::size_t rows = dimension(config.T);
    const std::size_t cols = dimension(config.N_alloc);
    auto pool = std::make_shared<SignalPool>();
    pool->reserve(POOL_SIZE);
    for (std::size_t i = 0; i < POOL_SIZE; ++i) {
        const bool missing = i < NAN_SIGNALS;
        UsefulSignal signal;
        gen.skip_standard_normal(rows * cols);  // only the operator sees the pool: no weights
        auto metadata = std::make_shared<Dict>();
        metadata->set("is_sharpe", missing ? NaN : static_cast<double>(i));
        if (full_metadata) {
            metadata->set("submission_date", missing ? NaN : 1.7e9 + static_cast<double>(i));
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

const char* base_field(FieldType field_type) {
    switch (field_type) {
        case FieldType::date:
            return "submission_date";
        case FieldType::list_str:
            return "rotation_families_used";
        case FieldType::categorical:
            return "signal_category";
        case FieldType::boolean:
            return "is_active";
        case FieldType::numeric:
            break;
    }
    return "is_sharpe";
}

Dict probe_params(const std::string& op_name, FieldType field_type) {
    return leaf_parameters(op_name).nan_probe(base_field(field_type), field_type);
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
    return Dict{{"numeric", NaN},
                {"date", NaN},
                {"list_str", Value::list(runtime::List{})},
                {"categorical", ""},
                {"boolean", false}};
}

// Field type names sorted alphabetically, as the evidence lists them.
std::vector<FieldType> sorted_by_name(std::vector<FieldType> types) {
    std::sort(types.begin(), types.end(), [](FieldType a, FieldType b) { return to_string(a) < to_string(b); });
    return types;
}

runtime::List type_names(const std::vector<FieldType>& types) {
    runtime::List out;
    for (const FieldType t : types) out.emplace_back(to_string(t));
    return out;
}

// The observer's record of a probe: NaN signals leaked (excluded) or the call raised (no_error).
Disagreement nan_probe(const std::string& op_name, const Operator& op_impl, const PoolPtr& pool, Dict params,
                       std::string label, Expectation expectation, std::optional<IdSet> selected = std::nullopt) {
    IdSet nan_set = IdSet::over(pool->index());
    for (const auto& id : nan_ids()) nan_set.insert(id);
    Disagreement d = make_disagreement("nan_handling", std::move(label), op_name, op_impl, pool, std::move(params),
                                       std::nullopt, expectation);
    d.ids = std::move(nan_set);
    d.allowed_errors = {"EmptyFiltrationError"};
    d.selected_seen = std::move(selected);
    return d;
}

void record_nan_signals(CheckRecorder& check) {
    check.evidence.set("nan_count", static_cast<std::int64_t>(NAN_SIGNALS));
    check.evidence.set("nan_signals", string_list(nan_ids()));
}

// Comparison and rank operators: one probe per supported field type; NaN must not leak into
// numeric or date results.
void probe_field_types(const std::string& op_name, const Operator& op_impl, const PoolPtr& pool_ptr,
                       const std::vector<FieldType>& field_types, CheckRecorder& check) {
    const SignalPool& pool = *pool_ptr;
    std::vector<FieldType> tested;
    std::vector<std::string> errors;
    bool leaked = false;
    for (const FieldType type : field_types) {
        const std::string name(to_string(type));
        try {
            const IdSet result = dispatch_op(op_name, op_impl, pool, probe_params(op_name, type));
            tested.push_back(type);
            if (type == FieldType::numeric || type == FieldType::date) {
                const std::vector<std::string> leaks = leaked_ids(result);
                if (!leaks.empty()) {
                    leaked = true;
                    check.evidence.set("nan_leaked", string_list(leaks));
                    check.fail("NaN leaked for " + name + ": " + runtime::set_display(leaks));
                    report_disagreement([&] {
                        return nan_probe(op_name, op_impl, pool_ptr, probe_params(op_name, type), name + " field",
                                         Expectation::excluded, result);
                    });
                }
            }
        } catch (const EmptyFiltrationError&) {
            tested.push_back(type);
            check.note("EmptyFiltrationError for " + name + " (correct for all-NaN)");
        } catch (const std::exception& e) {
            runtime::rethrow_if_fatal(e);
            const std::string text = runtime::error_text(e);
            errors.push_back(name + ": " + runtime::error_kind(e) + ": " + text);
            check.fail("Error testing " + name + ": " + text);
            report_disagreement([&] {
                return nan_probe(op_name, op_impl, pool_ptr, probe_params(op_name, type), name + " field",
                                 Expectation::no_error);
            });
        }
    }
    check.evidence.set("field_types_tested", type_names(sorted_by_name(tested)));
    record_nan_signals(check);
    if (!errors.empty()) check.evidence.set("errors", string_list(errors));
    if (!leaked) {
        check.evidence.set("nan_excluded", true);
        check.note("NaN correctly excluded for " + std::to_string(tested.size()) + " field types");
    }
}

// Operators outside the built-in vocabulary: skipped unless they react to the comparison value.
void probe_unknown(const std::string& op_name, const Operator& op_impl, const PoolPtr& pool_ptr,
                   CheckRecorder& check) {
    const SignalPool& pool = *pool_ptr;
    const Dict low_params{{"field", "is_sharpe"}, {"value", 0.0}};
    const Dict high_params{{"field", "is_sharpe"}, {"value", 100.0}};
    const Dict* calling = &low_params;
    try {
        const IdSet low = dispatch_op(op_name, op_impl, pool, low_params);
        calling = &high_params;
        const IdSet high = dispatch_op(op_name, op_impl, pool, high_params);
        if (low == high) {
            check.evidence.set("nan_excluded", true);
            check.note("Unknown operator does not use comparison params; NaN check skipped");
            return;
        }
        const std::vector<std::string> leaks = leaked_ids(low);
        record_nan_signals(check);
        if (!leaks.empty()) {
            check.evidence.set("nan_leaked", string_list(leaks));
            check.evidence.set("nan_included", true);
            check.evidence.set("violation", "NaN signals included in result: " + runtime::repr_list(leaks));
            check.fail("NaN signals leaked: " + runtime::set_display(leaks));
            report_disagreement([&] {
                return nan_probe(op_name, op_impl, pool_ptr, low_params, "value 0.0", Expectation::excluded, low);
            });
        } else {
            check.evidence.set("nan_excluded", true);
            check.note("NaN correctly excluded (unknown operator)");
        }
    } catch (const EmptyFiltrationError&) {
        check.note("EmptyFiltrationError raised (correct for all-NaN)");
    } catch (const std::exception& e) {
        runtime::rethrow_if_fatal(e);
        const std::string text = runtime::error_text(e);
        check.evidence.set("error", text);
        check.fail("Error: " + text);
        report_disagreement([&] {
            return nan_probe(op_name, op_impl, pool_ptr, *calling,
                             calling == &low_params ? "value 0.0" : "value 100.0", Expectation::no_error);
        });
    }
}

// Combinators and the wrapper, on children that already exclude the NaN signals. A wrong result
// of the two-child intersection (and_) fails the check; the others are only reported.
void probe_combinator(const std::string& op_name, const Operator& op_impl, const PoolPtr& pool_ptr,
                      CheckRecorder& check) {
    const SignalPool& pool = *pool_ptr;
    const BuiltinOperatorFacts* builtin = find_builtin(op_name);
    const ChildrenCase children_case = builtin != nullptr ? builtin->children_case : ChildrenCase::one_kept;
    const bool strict = children_case == ChildrenCase::two_intersected;
    record_nan_signals(check);
    const IdSet all_ids = pool.keys();
    IdSet non_nan = all_ids;
    for (const auto& id : nan_ids()) non_nan.erase(id);
    try {
        if (strict) {
            const auto report = [&](std::optional<IdSet> selected) {
                report_disagreement([&] {
                    Disagreement d = make_disagreement("nan_handling", op_name + " of all and non-NaN signals", op_name,
                                                       op_impl, pool_ptr, Dict{}, std::vector<IdSet>{all_ids, non_nan},
                                                       Expectation::fixed_set);
                    d.ids = non_nan;
                    d.expected_seen = non_nan;
                    d.selected_seen = std::move(selected);
                    return d;
                });
            };
            // The result is compared with the very child it was given (an operator may change it).
            Dict params;
            std::optional<std::vector<IdSet>> children{std::vector<IdSet>{all_ids, non_nan}};
            const SharedArguments shared(params, &*children);
            IdSet result;
            try {
                result = dispatch_op(op_name, op_impl, pool, params, children);
            } catch (...) {
                report(std::nullopt);
                throw;
            }
            if (!(result == (*children)[1])) {
                report(result);
                throw runtime::AssertionError();
            }
        } else if (children_case == ChildrenCase::two_united) {
            (void)dispatch_op(op_name, op_impl, pool, Dict{}, std::vector<IdSet>{non_nan, IdSet::over(pool.index())});
        } else {
            (void)dispatch_op(op_name, op_impl, pool, Dict{}, std::vector<IdSet>{non_nan});
        }
        check.evidence.set("nan_excluded", true);
        check.note("NaN propagation through boolean combinator verified");
    } catch (const std::exception& e) {
        runtime::rethrow_if_fatal(e);
        if (strict) check.fail();
        check.evidence.set("nan_excluded", false);
        check.note("NaN propagation error: " + runtime::error_text(e));
    }
    check.note("Boolean/wrapper: NaN handling verified through children");
}

}  // namespace

CheckOutcome run_check_4_nan(const std::string& op_name, const Operator& op_impl,
                             FiltrationEvaluationConfig& config, numeric::Generator& rng) {
    CheckRecorder check("NaN handling check");
    const OperatorCategory category = operator_category(op_name);
    const bool combines = category == OperatorCategory::boolean || category == OperatorCategory::wrapper;
    check.guard([&] {
        std::vector<FieldType> field_types;
        for (const FieldType type : {FieldType::numeric, FieldType::date, FieldType::list_str,
                                     FieldType::categorical, FieldType::boolean}) {
            if (field_type_allows(type, op_name)) field_types.push_back(type);
        }
        if (combines || field_types.empty()) field_types = {FieldType::numeric};
        field_types = sorted_by_name(std::move(field_types));
        check.evidence.set("field_types_tested", type_names(field_types));

        numeric::Generator gen = child_rng(rng);
        const PoolPtr pool = nan_pool(config, gen, true);
        if (category == OperatorCategory::comparison || category == OperatorCategory::rank) {
            probe_field_types(op_name, op_impl, pool, field_types, check);
        } else if (category == OperatorCategory::unknown) {
            probe_unknown(op_name, op_impl, pool, check);
        } else {
            probe_combinator(op_name, op_impl, nan_pool(config, gen, false), check);
        }
        check.evidence.set("missing_field_defaults", missing_field_defaults());
    });
    return std::move(check).outcome();
}

}  // namespace brindlecap::functions::filtrations_evaluation::detail
