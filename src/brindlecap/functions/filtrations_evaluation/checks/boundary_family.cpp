// Boundary-family check: small degenerate pools (one signal, ties, NaN/empty values, an extreme
// value, no time steps), degenerate ranges of the built-in comparison and rank operators, and six
// levels of nesting for combinators. Each case is isolated; a failing case never stops the others.

#include <array>
#include <cstdio>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "brindlecap/functions/filtrations/builtin_runtime_targets.hpp"
#include "brindlecap/functions/filtrations_evaluation/checks/checks_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/checks/check_support_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/core/errors.hpp"
#include "brindlecap/functions/filtrations_evaluation/core/operator_table_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/harness/invocation_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/harness/run_observer_internal.hpp"
#include "brindlecap/runtime/errors.hpp"

namespace brindlecap::functions::filtrations_evaluation::detail {

namespace {

constexpr int NESTING_LEVELS = 6;

// A size requirement of a case; checked in every build, it fails without a message.
void require(bool condition) {
    if (!condition) throw runtime::AssertionError();
}

// is_sharpe x, rotation_families_used ["numerical"], is_active true, signal_category "momentum".
DictPtr full_metadata(double is_sharpe) {
    return std::make_shared<Dict>(Dict{
        {"is_sharpe", is_sharpe},
        {"rotation_families_used", Value::list({"numerical"})},
        {"is_active", true},
        {"signal_category", "momentum"},
    });
}

DictPtr sharpe_only(double is_sharpe) { return std::make_shared<Dict>(Dict{{"is_sharpe", is_sharpe}}); }

std::string signal_id(std::size_t i) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "signal_%03zu", i);
    return buf;
}

std::vector<DictPtr> entries_of(int count, DictPtr (*metadata)(double)) {
    std::vector<DictPtr> entries;
    for (int i = 0; i < count; ++i) entries.push_back(metadata(static_cast<double>(i)));
    return entries;
}

// is_sharpe i, rotation_families_used ["numerical"] (BC-06).
DictPtr sharpe_and_family(double is_sharpe) {
    return std::make_shared<Dict>(Dict{{"is_sharpe", is_sharpe}, {"rotation_families_used", Value::list({"numerical"})}});
}

Operator builtin_target(std::string_view module, std::string_view name) {
    return filtrations::resolve_builtin_filtration_target(module, name);
}

// The cases of one check run. Every pool's weights come from test_rng (drawn in case order,
// skipped: only the operator sees the pools); evidence the cases add goes to `check`.
class BoundaryFamily {
public:
    BoundaryFamily(const std::string& op_name, const Operator& op_impl, const FiltrationEvaluationConfig& config,
                   OperatorCategory category, numeric::Generator& test_rng, CheckRecorder& check)
        : op_name_(op_name), op_impl_(op_impl), config_(config), category_(category), test_rng_(test_rng),
          check_(check) {}

    bool combines() const {
        return category_ == OperatorCategory::boolean || category_ == OperatorCategory::wrapper;
    }

    void single_signal() const { (void)call_bc(make_pool({full_metadata(1.5)}), "BC-01"); }

    void identical_values() const {
        (void)call_bc(make_pool(std::vector<DictPtr>(10, full_metadata(5.0))), "BC-02");
        check_.evidence.set("tie_handling", "all identical values handled");
    }

    // NaN and empty values everywhere: selecting nothing is an acceptable answer.
    void empty_values() const {
        const auto empty = std::make_shared<Dict>(Dict{
            {"is_sharpe", std::numeric_limits<double>::quiet_NaN()},
            {"rotation_families_used", Value::list(runtime::List{})},
            {"is_active", false},
            {"signal_category", ""},
        });
        const PoolPtr pool = make_pool(std::vector<DictPtr>(5, empty));
        try {
            (void)call_bc(pool, "BC-03", /*empty_allowed=*/true);
        } catch (const EmptyFiltrationError&) {
        }
    }

    void extreme_value() const { (void)call_bc(make_pool({full_metadata(1e308)}), "BC-04"); }

    void no_time_steps() const {
        (void)make_pool({sharpe_only(1.0)});
        const numeric::Matrix no_steps = numeric::Matrix::empty(0, dimension(config_.N_alloc));
        require(no_steps.rows() == 0);
    }

    // The built-in between on a degenerate range (comparison operators only).
    void degenerate_between() const {
        const PoolPtr pool = make_pool(entries_of(5, sharpe_and_family));
        if (category_ != OperatorCategory::comparison) return;
        const Operator between = builtin_target(filtrations::COMPARISON_MODULE, "_builtin_between");
        (void)dispatch_op("between", between, *pool, Dict{{"field", "is_sharpe"}, {"low", 2.0}, {"high", 2.0}});
    }

    // The built-in top_pct with pct 1.0 selects every signal (rank operators only).
    void full_percentage() const {
        const PoolPtr pool = make_pool(entries_of(5, sharpe_only));
        if (category_ != OperatorCategory::rank) return;
        const Operator top_pct = builtin_target(filtrations::RANK_MODULE, "_builtin_top_pct");
        require(dispatch_op("top_pct", top_pct, *pool, Dict{{"field", "is_sharpe"}, {"pct", 1.0}}).size() == 5);
    }

    // The built-in top_n with a count larger than the pool selects the whole pool.
    void oversized_count() const {
        const PoolPtr pool = make_pool(entries_of(3, sharpe_only));
        if (category_ != OperatorCategory::rank) return;
        const Operator top_n = builtin_target(filtrations::RANK_MODULE, "_builtin_top_n");
        require(dispatch_op("top_n", top_n, *pool, Dict{{"field", "is_sharpe"}, {"n", 100}}).size() == 3);
    }

    // Each level takes the previous level's output as its single child result.
    void deep_nesting() const {
        const PoolPtr pool = make_pool(entries_of(5, full_metadata));
        IdSet current = pool->keys();
        try {
            for (int level = 0; level < NESTING_LEVELS; ++level) {
                current = dispatch_op(op_name_, op_impl_, *pool, Dict{}, std::vector<IdSet>{current});
            }
        } catch (...) {
            report_disagreement([&] {
                Disagreement d = make_disagreement("boundary_conditions", "BC-09-deep-nested", op_name_, op_impl_, pool,
                                                   Dict{}, std::vector<IdSet>{pool->keys()}, Expectation::no_error);
                d.nesting = NESTING_LEVELS;
                return d;
            });
            throw;
        }
        check_.evidence.set("deep_nesting_levels", NESTING_LEVELS);
    }

private:
    // One signal per metadata entry, in order; the entries' mappings are used as they are, so a
    // repeated entry makes its signals share one mapping.
    PoolPtr make_pool(const std::vector<DictPtr>& entries) const {
        const std::size_t rows = dimension(config_.T);
        const std::size_t cols = dimension(config_.N_alloc);
        auto pool = std::make_shared<SignalPool>();
        pool->reserve(entries.size());
        for (std::size_t i = 0; i < entries.size(); ++i) {
            test_rng_.skip_standard_normal(rows * cols);
            UsefulSignal signal;
            signal.metadata = entries[i];
            pool->insert(signal_id(i), std::move(signal));
        }
        pool_keeper().append(pool);
        return pool;
    }

    // The operator under test once, with this check's own call parameters; an error goes to the
    // observer unless it is an allowed empty outcome.
    IdSet call_bc(const PoolPtr& pool, const char* case_id, bool empty_allowed = false) const {
        try {
            return call_bc(*pool);
        } catch (const std::exception& e) {
            if (!empty_allowed || dynamic_cast<const EmptyFiltrationError*>(&e) == nullptr) {
                report_disagreement([&] {
                    std::optional<std::vector<IdSet>> children;
                    if (combines()) children = std::vector<IdSet>{pool->keys()};
                    Disagreement d = make_disagreement("boundary_conditions", case_id, op_name_, op_impl_, pool,
                                                       combines() ? Dict{} : bc_params(), std::move(children),
                                                       Expectation::no_error);
                    if (empty_allowed) d.allowed_errors = {"EmptyFiltrationError"};
                    return d;
                });
            }
            throw;
        }
    }

    IdSet call_bc(const SignalPool& pool) const {
        if (combines()) return dispatch_op(op_name_, op_impl_, pool, Dict{}, std::vector<IdSet>{pool.keys()});
        return dispatch_op(op_name_, op_impl_, pool, bc_params());
    }

    Dict bc_params() const { return leaf_parameters(op_name_).boundary.deep_copy(); }

    const std::string& op_name_;
    const Operator& op_impl_;
    const FiltrationEvaluationConfig& config_;
    OperatorCategory category_;
    numeric::Generator& test_rng_;
    CheckRecorder& check_;
};

using Case = std::pair<const char*, void (BoundaryFamily::*)() const>;
constexpr std::array<Case, 8> CASES = {{
    {"BC-01", &BoundaryFamily::single_signal},
    {"BC-02", &BoundaryFamily::identical_values},
    {"BC-03", &BoundaryFamily::empty_values},
    {"BC-04", &BoundaryFamily::extreme_value},
    {"BC-05", &BoundaryFamily::no_time_steps},
    {"BC-06", &BoundaryFamily::degenerate_between},
    {"BC-07", &BoundaryFamily::full_percentage},
    {"BC-08", &BoundaryFamily::oversized_count},
}};

}  // namespace

CheckOutcome run_check_6_boundary_family(const std::string& op_name, const Operator& op_impl,
                                         FiltrationEvaluationConfig& config, numeric::Generator& rng) {
    CheckRecorder check("Boundary check");
    Dict bc_results;

    // Not guarded: an error here ends the pipeline run.
    const OperatorCategory category = operator_category(op_name);
    numeric::Generator test_rng = child_rng(rng);
    const BoundaryFamily bc(op_name, op_impl, config, category, test_rng, check);

    // A case passes when it completes; its error text is its result otherwise. One failing case
    // never stops the others.
    const auto run_case = [&](const char* case_id, void (BoundaryFamily::*body)() const) {
        if (attempt([&] { (bc.*body)(); },
                    [&](const std::exception& e) {
                        bc_results.set(case_id, "fail: " + runtime::error_text(e));
                        check.fail();
                    })) {
            bc_results.set(case_id, "pass");
        }
    };

    const bool completed = check.guard([&] {
        for (const auto& [case_id, body] : CASES) run_case(case_id, body);
        if (bc.combines()) run_case("BC-09-deep-nested", &BoundaryFamily::deep_nesting);

        std::int64_t pass_count = 0;
        for (const auto& [case_id, result] : bc_results) pass_count += result.as_str() == "pass" ? 1 : 0;
        const auto tested = static_cast<std::int64_t>(bc_results.size());
        check.evidence.set("boundary_conditions", bc_results);
        check.evidence.set("conditions_tested", tested);
        check.evidence.set("boundary_type", "BC-01 through BC-08 and deep nested levels");
        check.evidence.set("input_size", 1);
        check.note("Boundary conditions: " + std::to_string(pass_count) + "/" + std::to_string(tested) + " passed");
    });
    if (!completed) {
        check.evidence.set("boundary_type", "error");
        check.evidence.set("input_size", 0);
    }
    return std::move(check).outcome();
}

}  // namespace brindlecap::functions::filtrations_evaluation::detail
