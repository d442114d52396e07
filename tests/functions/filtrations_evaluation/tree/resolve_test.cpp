#include <gtest/gtest.h>

#include <algorithm>
#include <any>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "brindlecap/functions/filtrations_evaluation/tree/resolve_internal.hpp"
#include "brindlecap/runtime/errors.hpp"
#include "brindlecap/runtime/modules_internal.hpp"
#include "tree_support.hpp"

namespace brindlecap::functions::filtrations_evaluation {
namespace {

using detail::load_operator;
using registry_and_store::FunctionStore;
using registry_and_store::StoreEntry;
using testing::entry_of;
using testing::leaf;
using testing::make_pool;
using testing::node;
using testing::raised;
using testing::select_everything;
using Ids = std::vector<std::string>;
using Diags = std::vector<FilterDiagnostic>;

SignalPool sharpe_pool() {
    return make_pool({
        {"s1", {{"is_sharpe", 1.2}, {"signal_category", "momentum"}, {"is_active", true}}},
        {"s2", {{"is_sharpe", -0.4}, {"signal_category", "value"}, {"is_active", false}}},
        {"s3", {{"is_sharpe", 0.8}, {"signal_category", "carry"}, {"is_active", true}}},
        {"s4", {{"is_sharpe", 2.5}, {"signal_category", "value"}, {"is_active", false}}},
    });
}

FilterNode sharpe_gt(double v) { return leaf("gt", {{"field", "is_sharpe"}, {"value", v}}); }
const FunctionStore& builtins() {
    static const FunctionStore store = registry_and_store::build_default_store();
    return store;
}

TEST(TreeResolveTest, DiagnosticsInPostOrder) {
    const FilterNode tree = node("and_", {sharpe_gt(0.0),
                                          node("or_", {leaf("eq", {{"field", "signal_category"}, {"value", "value"}}),
                                                       leaf("eq", {{"field", "is_active"}, {"value", true}})})});
    const FiltrationResult r = resolve_filtrations(sharpe_pool(), tree, builtins());
    EXPECT_EQ(r, (FiltrationResult{{"s1", "s3", "s4"}, 3, 4,
                                   {{"gt(is_sharpe, 0.0)", 3, "gt"},
                                    {"eq(signal_category, value)", 2, "eq"},
                                    {"eq(is_active, True)", 2, "eq"},
                                    {"or_(2 children)", 4, "or_"},
                                    {"and_(2 children)", 3, "and_"}}}));

    // An empty node below the root does not stop the evaluation; an empty root does.
    const FiltrationResult either = resolve_filtrations(sharpe_pool(), node("or_", {sharpe_gt(9.0), sharpe_gt(2.0)}),
                                                        builtins());
    EXPECT_EQ(either.passing_ids, Ids({"s4"}));
    EXPECT_EQ(either.filter_diagnostics.at(0).passing_count, 0);
    try {
        resolve_filtrations(sharpe_pool(), node("and_", {sharpe_gt(2.0), leaf("eq", {{"field", "is_active"}, {"value", true}})}),
                            builtins());
        ADD_FAILURE() << "expected EmptyFiltrationError";
    } catch (const EmptyFiltrationError& e) {
        EXPECT_EQ(e.text(), "0 signals pass the complete filter tree (and_)");
        EXPECT_EQ(e.filter_diagnostics, (Diags{{"gt(is_sharpe, 2.0)", 1, "gt"},
                                               {"eq(is_active, True)", 2, "eq"},
                                               {"and_(2 children)", 0, "and_"}}));
    }
    try {
        resolve_filtrations(SignalPool{}, sharpe_gt(0.0), builtins());
        ADD_FAILURE() << "expected EmptyPoolError";
    } catch (const EmptyPoolError& e) {
        EXPECT_EQ(e.text(), "No useful signals in pool");
        EXPECT_FALSE(e.filter_diagnostics.has_value());
    }
}

TEST(TreeResolveTest, UnknownOperatorsFailBeforeTheirChildrenRun) {
    FunctionStore store = registry_and_store::build_default_store();
    StoreEntry other = entry_of("not_a_filter", select_everything());
    other.function_type = "reduction";
    store.register_entry(other);
    int child_calls = 0;
    store.register_entry(entry_of("counting", [&](const OperatorCall& c) -> OperatorResult {
        ++child_calls;
        return *c.pool_keys;
    }));
    const std::string registered =
        ". Registered functions: ['and_', 'between', 'bottom_n', 'bottom_pct', 'counting', 'eq', 'filtration', 'gt', "
        "'gte', 'in_', 'lt', 'lte', 'neq', 'not_', 'or_', 'top_n', 'top_pct']";
    EXPECT_EQ(raised<FilterValidationError>([&] {
                  resolve_filtrations(sharpe_pool(), node("nope", {leaf("counting", {}), leaf("also_nope", {})}), store);
              }),
              "Unknown filtration function 'nope'" + registered);
    EXPECT_EQ(child_calls, 0);
    EXPECT_EQ(raised<FilterValidationError>([&] {
                  resolve_filtrations(sharpe_pool(), node("and_", {leaf("counting", {}), leaf("also_nope", {})}), store);
              }),
              "Unknown filtration function 'also_nope'" + registered);
    EXPECT_EQ(child_calls, 1);

    // Load errors other than KeyError propagate.
    FunctionStore broken;
    broken.register_entry(StoreEntry{"gt", "filtration", std::nullopt, "tree_tests_missing_module", "gt", Value()});
    EXPECT_EQ(raised<runtime::ModuleNotFoundError>([&] { resolve_filtrations(sharpe_pool(), sharpe_gt(0.0), broken); }),
              "No module named 'tree_tests_missing_module'");
}

TEST(TreeResolveTest, LeafValidationMessages) {
    const SignalPool pool = sharpe_pool();
    FunctionStore store = registry_and_store::build_default_store();
    // Operators that select everything: what is tested is the checks before the call.
    for (const char* name : {"my_filter", "between", "top_n", "top_pct"}) store.register_entry(entry_of(name, select_everything()));
    const std::vector<std::pair<FilterNode, std::string>> cases = {
        // A missing n or bound counts as 0.
        {leaf("top_n", {{"field", "is_sharpe"}}), "Count must be >= 1, got 0"},
        {leaf("between", {{"field", "is_sharpe"}, {"low", 1}}), "between requires low <= high, got 1 > 0"},
        // pct is checked before the field.
        {leaf("top_pct", {{"field", "nope"}, {"pct", 0}}), "pct must be in (0.0, 1.0], got 0"},
        // Every leaf with a field is checked, whatever its name (unknown fields: DeepTreeTest).
        {leaf("my_filter", {{"field", "is_sharpe"}}), "Operator 'my_filter' not valid for field 'is_sharpe' (type numeric)"},
    };
    for (const auto& [tree, message] : cases) {
        EXPECT_EQ(raised<FilterValidationError>([&] { resolve_filtrations(pool, tree, store); }), message);
    }
    // between without bounds passes (both default to 0).
    EXPECT_EQ(resolve_filtrations(pool, leaf("between", {{"field", "is_sharpe"}}), store).signal_count, 4);

    // The tree checks the field type without the date refinement.
    const SignalPool dates = make_pool({{"s1", {{"submission_date", 1.7e9}}}, {"s2", {{"submission_date", 1.6e9}}}});
    EXPECT_EQ(raised<FilterValidationError>([&] {
                  resolve_filtrations(dates, leaf("in_", {{"field", "submission_date"}, {"values", Value::list({})}}), store);
              }),
              "Operator 'in_' not valid for field 'submission_date' (type numeric)");
    EXPECT_EQ(resolve_filtrations(dates, leaf("gt", {{"field", "submission_date"}, {"value", 1.65e9}}), store).passing_ids,
              Ids({"s1"}));
}

TEST(TreeResolveTest, OperatorsAreCachedPerStore) {
    // Two stores with different operators under one name each use their own.
    FunctionStore loose = registry_and_store::build_default_store();
    FunctionStore strict = registry_and_store::build_default_store();
    strict.register_entry(entry_of("gt", select_everything()));
    const SignalPool pool = sharpe_pool();
    EXPECT_EQ(resolve_filtrations(pool, sharpe_gt(1.0), loose).signal_count, 2);
    EXPECT_EQ(resolve_filtrations(pool, sharpe_gt(1.0), strict).signal_count, 4);
    EXPECT_EQ(resolve_filtrations(pool, sharpe_gt(1.0), loose).signal_count, 2);

    // A module target is resolved once per store: republishing it does not reach a store that
    // has loaded it, another store resolves for itself.
    const std::string module = "tests.tree.resolve_targets";
    std::atomic<int> first_calls{0}, second_calls{0};
    const auto counting = [](std::atomic<int>& calls) -> Operator {
        return [&calls](const OperatorCall& c) -> OperatorResult {
            ++calls;
            return *c.pool_keys;
        };
    };
    runtime::register_module_attr(module, "op", std::any(counting(first_calls)));
    const StoreEntry e{"plain", "filtration", std::nullopt, module, "op", Value()};
    FunctionStore one, two;
    one.register_entry(e);
    two.register_entry(e);
    load_operator(one, "plain");
    runtime::register_module_attr(module, "op", std::any(counting(second_calls)));
    resolve_filtrations(pool, leaf("plain", {}), one);
    EXPECT_EQ(first_calls.load(), 1);
    EXPECT_EQ(second_calls.load(), 0);
    resolve_filtrations(pool, leaf("plain", {}), two);
    EXPECT_EQ(second_calls.load(), 1);
    EXPECT_THROW(load_operator(one, "missing"), runtime::KeyError);
}

// Also: passing ids come sorted by code point ("c10" before "c9"), not in pool order.
TEST(TreeResolveTest, ConcurrentResolutionsAgree) {
    SignalPool pool;
    Ids expected;
    for (int i = 0; i < 500; ++i) {
        const std::string id = "c" + std::to_string((i * 7919) % 1000);
        pool.insert(id, UsefulSignal::make({{"x", i % 4}, {"cat", i % 2 ? "a" : "b"}}));
        if (i % 4 >= 2 && i % 2 == 1) expected.push_back(id);
    }
    std::sort(expected.begin(), expected.end());
    const FilterNode tree = node("and_", {leaf("gt", {{"field", "x"}, {"value", 1}}),
                                          leaf("in_", {{"field", "cat"}, {"values", Value::list({"a"})}})});
    const FunctionStore store = registry_and_store::build_default_store();  // operators loaded by the threads
    std::vector<Ids> results(8);
    std::vector<std::thread> threads;
    for (auto& r : results) threads.emplace_back([&] { r = resolve_filtrations(pool, tree, store).passing_ids; });
    for (auto& t : threads) t.join();
    for (const auto& r : results) EXPECT_EQ(r, expected);
}

}  // namespace
}  // namespace brindlecap::functions::filtrations_evaluation
