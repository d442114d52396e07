// Boundary-family check: small degenerate pools (one signal, ties, NaN/empty values, an extreme
// value, no time steps), degenerate ranges of the built-in comparison and rank operators, and six
// levels of nesting for combinators. Each case is isolated; a failing case never stops the others.

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
#include "brindlecap/functions/filtrations_evaluation/fixtures/invocation_internal.hpp"
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

class BoundaryFamily {
public:
    BoundaryFamily(const std::string& op_name, const Operator& op_impl, const FiltrationEvaluationConfig& config,
                   OperatorCategory category, numeric::Generator& test_rng)
        : op_name_(op_name), op_impl_(op_impl), config_(config), category_(category), test_rng_(test_rng) {}

    bool combines() const {
        return category_ == OperatorCategory::boolean || category_ == OperatorCategory::wrapper;
    }

    // One signal per metadata entry, in order; the entries' mappings are used as they are, so a
    // repeated entry makes its signals share one mapping.
    PoolPtr make_pool(const std::vector<DictPtr>& entries) const {
        const std::size_t rows = dimension(config_.T);
        const std::size_t cols = dimension(config_.N_alloc);
        auto pool = std::make_shared<SignalPool>();
        pool->reserve(entries.size());
        for (std::size_t i = 0; i < entries.size(); ++i) {
            UsefulSignal signal;
            test_rng_.skip_standard_normal(rows * cols);  // only the operator sees the pool: no weights
            signal.metadata = entries[i];
            pool->insert(signal_id(i), std::move(signal));
        }
        pool_keeper().append(pool);
        return pool;
    }

    // The operator under test once, with this check's own call parameters.
    IdSet call_bc(const SignalPool& pool) const {
        if (combines()) return dispatch_op(op_name_, op_impl_, pool, Dict{}, std::vector<IdSet>{pool.keys()});
        Dict params;
        if (op_name_ == "in_") {
            params = Dict{{"field", "rotation_families_used"}, {"values", Value::list({"numerical"})}};
        } else if (op_name_ == "between") {
            params = Dict{{"field", "is_sharpe"}, {"low", 0.0}, {"high", 3.0}};
        } else if (op_name_ == "top_pct" || op_name_ == "bottom_pct") {
            params = Dict{{"field", "is_sharpe"}, {"pct", 0.5}};
        } else if (op_name_ == "top_n" || op_name_ == "bottom_n") {
            params = Dict{{"field", "is_sharpe"}, {"n", 1}};
        } else {
            params = Dict{{"field", "is_sharpe"}, {"value", 1.0}};
        }
        return dispatch_op(op_name_, op_impl_, pool, params);
    }

private:
    const std::string& op_name_;
    const Operator& op_impl_;
    const FiltrationEvaluationConfig& config_;
    OperatorCategory category_;
    numeric::Generator& test_rng_;
};

Operator builtin_target(std::string_view module, std::string_view name) {
    return filtrations::resolve_builtin_filtration_target(module, name);
}

}  // namespace

CheckOutcome run_check_6_boundary_family(const std::string& op_name, const Operator& op_impl,
                                         FiltrationEvaluationConfig& config, numeric::Generator& rng) {
    CheckRecorder check("Boundary check");
    Dict bc_results;

    // Not guarded: an error here ends the pipeline run.
    const OperatorCategory category = operator_category(op_name);
    numeric::Generator test_rng = child_rng(rng);
    const BoundaryFamily bc(op_name, op_impl, config, category, test_rng);

    // A case passes when it completes; its error text is its result otherwise.
    auto run_case = [&](const char* case_id, const std::function<void()>& body) {
        if (attempt(body, [&](const std::exception& e) {
                bc_results.set(case_id, "fail: " + runtime::error_text(e));
                check.fail();
            })) {
            bc_results.set(case_id, "pass");
        }
    };

    const bool completed = check.guard([&] {
        run_case("BC-01", [&] { (void)bc.call_bc(*bc.make_pool({full_metadata(1.5)})); });

        run_case("BC-02", [&] {
            const DictPtr same = full_metadata(5.0);
            (void)bc.call_bc(*bc.make_pool(std::vector<DictPtr>(10, same)));
            check.evidence.set("tie_handling", "all identical values handled");
        });

        run_case("BC-03", [&] {
            const auto empty = std::make_shared<Dict>(Dict{
                {"is_sharpe", std::numeric_limits<double>::quiet_NaN()},
                {"rotation_families_used", Value::list(runtime::List{})},
                {"is_active", false},
                {"signal_category", ""},
            });
            const PoolPtr pool = bc.make_pool(std::vector<DictPtr>(5, empty));
            try {
                (void)bc.call_bc(*pool);
            } catch (const EmptyFiltrationError&) {
                // Nothing passing is an acceptable answer here.
            }
        });

        run_case("BC-04", [&] { (void)bc.call_bc(*bc.make_pool({full_metadata(1e308)})); });

        run_case("BC-05", [&] {
            const PoolPtr pool = bc.make_pool({sharpe_only(1.0)});
            const std::size_t n = dimension(config.N_alloc);  // the weights' column count
            const numeric::Matrix no_steps = numeric::Matrix::empty(0, n);
            require(no_steps.rows() == 0);
        });

        run_case("BC-06", [&] {
            std::vector<DictPtr> entries;
            for (int i = 0; i < 5; ++i) {
                entries.push_back(std::make_shared<Dict>(Dict{
                    {"is_sharpe", static_cast<double>(i)},
                    {"rotation_families_used", Value::list({"numerical"})},
                }));
            }
            const PoolPtr pool = bc.make_pool(entries);
            if (op_name == "between" || category == OperatorCategory::comparison) {
                const Operator between = builtin_target(filtrations::COMPARISON_MODULE, "_builtin_between");
                (void)dispatch_op("between", between, *pool, Dict{{"field", "is_sharpe"}, {"low", 2.0}, {"high", 2.0}});
            }
        });

        run_case("BC-07", [&] {
            std::vector<DictPtr> entries;
            for (int i = 0; i < 5; ++i) entries.push_back(sharpe_only(static_cast<double>(i)));
            const PoolPtr pool = bc.make_pool(entries);
            if (op_name == "top_pct" || op_name == "bottom_pct" || category == OperatorCategory::rank) {
                const Operator top_pct = builtin_target(filtrations::RANK_MODULE, "_builtin_top_pct");
                const IdSet all = dispatch_op("top_pct", top_pct, *pool, Dict{{"field", "is_sharpe"}, {"pct", 1.0}});
                require(all.size() == 5);
            }
        });

        run_case("BC-08", [&] {
            std::vector<DictPtr> entries;
            for (int i = 0; i < 3; ++i) entries.push_back(sharpe_only(static_cast<double>(i)));
            const PoolPtr pool = bc.make_pool(entries);
            if (op_name == "top_n" || op_name == "bottom_n" || category == OperatorCategory::rank) {
                const Operator top_n = builtin_target(filtrations::RANK_MODULE, "_builtin_top_n");
                // A count larger than the pool selects the whole pool.
                const IdSet all = dispatch_op("top_n", top_n, *pool, Dict{{"field", "is_sharpe"}, {"n", 100}});
                require(all.size() == 3);
            }
        });

        if (bc.combines()) {
            run_case("BC-09-deep-nested", [&] {
                std::vector<DictPtr> entries;
                for (int i = 0; i < 5; ++i) entries.push_back(full_metadata(static_cast<double>(i)));
                const PoolPtr pool = bc.make_pool(entries);
                // Each level takes the previous level's output as its single child result.
                IdSet current = pool->keys();
                for (int level = 0; level < NESTING_LEVELS; ++level) {
                    current = dispatch_op(op_name, op_impl, *pool, Dict{}, std::vector<IdSet>{current});
                }
                check.evidence.set("deep_nesting_levels", NESTING_LEVELS);
            });
        }

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
