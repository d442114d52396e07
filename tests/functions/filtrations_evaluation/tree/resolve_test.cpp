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

SignalPool sharpe_pool() {
    return make_pool({
        {"s1", {{"is_sharpe", 1.2}, {"signal_category", "momentum"}, {"is_active", true}}},
        {"s2", {{"is_sharpe", -0.4}, {"signal_category", "value"}, {"is_active", false}}},
        {"s3", {{"is_sharpe", 0.8}, {"signal_category", "carry"}, {"is_active", true}}},
        {"s4", {{"is_sharpe", 2.5}, {"signal_category", "value"}, {"is_active", false}}},
    });
}

FilterNode sharpe_gt(double v) { return leaf("gt", {{"field", "is_sharpe"}, {"value", v}}); }

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

// Every leaf with a field is checked, whatever its name; between without bounds passes (both
// default to 0). More: tests/data/cases/tree.jsonl.
TEST(TreeResolveTest, LeafValidationWhateverTheName) {
    FunctionStore store = registry_and_store::build_default_store();
    for (const char* name : {"my_filter", "between"}) store.register_entry(entry_of(name, select_everything()));
    EXPECT_EQ(raised<FilterValidationError>([&] { resolve_filtrations(sharpe_pool(), leaf("my_filter", {{"field", "is_sharpe"}}), store); }),
              "Operator 'my_filter' not valid for field 'is_sharpe' (type numeric)");
    EXPECT_EQ(resolve_filtrations(sharpe_pool(), leaf("between", {{"field", "is_sharpe"}}), store).signal_count, 4);
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
