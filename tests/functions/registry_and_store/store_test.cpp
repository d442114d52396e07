#include "brindlecap/functions/registry_and_store/store.hpp"
#include "brindlecap/functions/registry_and_store/store_internal.hpp"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "brindlecap/functions/filtrations_evaluation/core/operator_table_internal.hpp"
#include "brindlecap/runtime/errors.hpp"
#include "runtime/value_printer.hpp"

namespace {

using namespace brindlecap::functions;
using filtrations_evaluation::IdSet;
using filtrations_evaluation::Operator;
using filtrations_evaluation::OperatorCall;
using filtrations_evaluation::OperatorResult;
using registry_and_store::FunctionStore;
using registry_and_store::StoreEntry;
using Names = std::vector<std::string>;

// An operator that answers with a fixed identifier, so tests can tell operators apart.
Operator tagged(const std::string& tag) {
    return [tag](const OperatorCall&) -> OperatorResult { return IdSet{tag}; };
}

std::string cached_tag(const FunctionStore& store, const std::string& name) {
    const auto op = store.cached_operator(name);
    return op ? std::get<IdSet>((*op)(OperatorCall{})).sorted().at(0) : "<none>";
}

StoreEntry entry(const std::string& name, const std::string& type = "filtration") {
    return StoreEntry{name, type, std::nullopt, "m." + name, "C_" + name, {}};
}

// In table order (the recorded outcomes pin it); the checks' tests load each kernel through it.
TEST(DefaultStore, HoldsTheBuiltinsForTheFiltrationFunctionTypeOnly) {
    Names builtins;
    for (const auto& row : filtrations_evaluation::detail::builtin_operators()) builtins.emplace_back(row.name);
    const FunctionStore store = registry_and_store::build_default_store();
    EXPECT_EQ(store.list_by_function_type("filtration"), builtins);
    EXPECT_TRUE(registry_and_store::build_default_store({"signal"}).list_by_function_type("filtration").empty());
    EXPECT_EQ(registry_and_store::build_default_store({"signal", "filtration"}).list_by_function_type("filtration"),
              builtins);
    EXPECT_EQ(brindlecap::test::message_of<brindlecap::runtime::KeyError>([&] { store.get_entry("nope"); }),
              "'nope'");
}

TEST(FunctionStore, ReRegisteringReplacesInPlaceAndDropsOnlyThatCachedOperator) {
    FunctionStore store;
    for (const char* name : {"a", "b", "c"}) store.register_entry(entry(name));
    store.register_entry(entry("x", "signal"));
    store.cache_operator("a", tagged("old_a"));
    store.cache_operator("b", tagged("old_b"));
    store.cache_operator("b", tagged("new_b"));

    StoreEntry replacement = entry("a", "signal");
    replacement.module_path = "other.module";
    store.register_entry(replacement);
    EXPECT_EQ(store.list_by_function_type("filtration"), (Names{"b", "c"}));
    EXPECT_EQ(store.list_by_function_type("signal"), (Names{"a", "x"}));
    EXPECT_EQ(store.get_entry("a").module_path, "other.module");
    EXPECT_EQ(cached_tag(store, "a"), "<none>");
    EXPECT_EQ(cached_tag(store, "b"), "new_b");

    store.register_entry(entry("a"));
    EXPECT_EQ(store.list_by_function_type("filtration"), (Names{"a", "b", "c"}));
}

TEST(FunctionStore, CopiesStartWithAnEmptyCacheMovesTakeTheirsAlong) {
    FunctionStore store;
    store.register_entry(entry("a"));
    store.cache_operator("a", tagged("cached"));

    FunctionStore copy(store);
    EXPECT_TRUE(copy.has("a"));
    EXPECT_EQ(cached_tag(copy, "a"), "<none>");
    EXPECT_EQ(cached_tag(store, "a"), "cached");

    FunctionStore assigned;
    assigned.register_entry(entry("z"));
    assigned.cache_operator("z", tagged("z"));
    assigned = store;
    EXPECT_FALSE(assigned.has("z"));
    EXPECT_EQ(cached_tag(assigned, "a"), "<none>");
    EXPECT_EQ(cached_tag(assigned, "z"), "<none>");

    FunctionStore move_assigned;
    move_assigned.cache_operator("a", tagged("stale"));
    move_assigned = std::move(store);
    EXPECT_TRUE(move_assigned.has("a"));
    EXPECT_EQ(cached_tag(move_assigned, "a"), "cached");  // the entries it was loaded from came along
    {
        FunctionStore gone = std::move(move_assigned);
        EXPECT_EQ(cached_tag(gone, "a"), "cached");
    }
    // A store that goes away takes its entries out of the process-wide cache.
    for (const auto& [store_id, name] : brindlecap::functions::registry_and_store::detail::operator_cache_keys()) EXPECT_NE(name, "a");
}

}  // namespace
