#include "brindlecap/functions/registry_and_store/store.hpp"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "brindlecap/functions/filtrations/builtin_runtime_targets.hpp"
#include "brindlecap/runtime/errors.hpp"

namespace {

using namespace brindlecap::functions;
using filtrations_evaluation::IdSet;
using filtrations_evaluation::Operator;
using filtrations_evaluation::OperatorCall;
using filtrations_evaluation::OperatorResult;
using registry_and_store::FunctionStore;
using registry_and_store::StoreEntry;

const std::vector<std::string> BUILTIN_NAMES = {"gt",      "gte",        "lt",    "lte",      "eq",   "neq",
                                                "between", "in_",        "top_pct", "bottom_pct", "top_n",
                                                "bottom_n", "and_",      "or_",   "not_",     "filtration"};

// An operator that answers with a fixed identifier, so tests can tell operators apart.
Operator tagged(const std::string& tag) {
    return [tag](const OperatorCall&) -> OperatorResult { return IdSet{tag}; };
}

std::string tag_of(const Operator& op) { return std::get<IdSet>(op(OperatorCall{})).sorted().at(0); }

StoreEntry entry(const std::string& name, const std::string& type = "filtration") {
    return StoreEntry{name, type, std::nullopt, "m." + name, "C_" + name, {}};
}

TEST(DefaultStore, HoldsTheSixteenBuiltinsInOrder) {
    const FunctionStore store = registry_and_store::build_default_store();
    EXPECT_EQ(store.list_by_function_type("filtration"), BUILTIN_NAMES);
    for (const std::string& name : BUILTIN_NAMES) {
        const StoreEntry e = store.get_entry(name);
        EXPECT_EQ(e.name, name);
        EXPECT_EQ(e.function_type, "filtration");
        EXPECT_FALSE(e.factory.has_value()) << name;
        EXPECT_TRUE(e.data_type.is_none()) << name;
        EXPECT_EQ(e.class_name, "_builtin_" + name);
        // Every entry resolves through the built-in target resolver.
        EXPECT_NO_THROW(filtrations::resolve_builtin_filtration_target(e.module_path, e.class_name)) << name;
    }
    EXPECT_EQ(store.get_entry("between").module_path, "brindlecap.functions.filtrations.comparison");
    EXPECT_EQ(store.get_entry("in_").module_path, "brindlecap.functions.filtrations.comparison");
    EXPECT_EQ(store.get_entry("bottom_n").module_path, "brindlecap.functions.filtrations.rank");
    EXPECT_EQ(store.get_entry("not_").module_path, "brindlecap.functions.filtrations.boolean");
    EXPECT_EQ(store.get_entry("filtration").module_path, "brindlecap.functions.filtrations.wrapper");
}

TEST(DefaultStore, OnlyTheFiltrationTypeRegistersBuiltins) {
    EXPECT_TRUE(registry_and_store::build_default_store({"signal"}).list_by_function_type("filtration").empty());
    EXPECT_FALSE(registry_and_store::build_default_store({}).has("gt"));
    EXPECT_EQ(registry_and_store::build_default_store({"signal", "filtration"}).list_by_function_type("filtration"),
              BUILTIN_NAMES);
}

TEST(FunctionStore, ListsByTypeInRegistrationOrder) {
    FunctionStore store;
    store.register_entry(entry("b"));
    store.register_entry(entry("x", "signal"));
    store.register_entry(entry("a"));
    EXPECT_EQ(store.list_by_function_type("filtration"), (std::vector<std::string>{"b", "a"}));
    EXPECT_EQ(store.list_by_function_type("signal"), std::vector<std::string>{"x"});
    EXPECT_TRUE(store.list_by_function_type("none").empty());
    EXPECT_TRUE(store.has("x"));
    EXPECT_FALSE(store.has("c"));
}

TEST(FunctionStore, UnknownNameRaisesKeyErrorWithTheQuotedName) {
    const FunctionStore store = registry_and_store::build_default_store();
    try {
        store.get_entry("nope");
        ADD_FAILURE() << "no KeyError";
    } catch (const brindlecap::runtime::KeyError& e) {
        EXPECT_EQ(e.kind(), "KeyError");
        EXPECT_EQ(e.text(), "'nope'");
    }
}

TEST(FunctionStore, ReRegisteringReplacesInPlaceAndDropsOnlyThatCachedOperator) {
    FunctionStore store;
    store.register_entry(entry("a"));
    store.register_entry(entry("b"));
    store.register_entry(entry("c"));
    store.cache_operator("a", tagged("old_a"));
    store.cache_operator("b", tagged("old_b"));

    StoreEntry replacement = entry("a", "signal");
    replacement.factory = tagged("factory_a");
    replacement.module_path = "other.module";
    store.register_entry(replacement);

    EXPECT_EQ(store.list_by_function_type("filtration"), (std::vector<std::string>{"b", "c"}));
    EXPECT_EQ(store.list_by_function_type("signal"), std::vector<std::string>{"a"});
    const StoreEntry a = store.get_entry("a");
    EXPECT_EQ(a.module_path, "other.module");
    ASSERT_TRUE(a.factory.has_value());
    EXPECT_EQ(tag_of(*a.factory), "factory_a");

    EXPECT_FALSE(store.cached_operator("a").has_value());
    ASSERT_TRUE(store.cached_operator("b").has_value());
    EXPECT_EQ(tag_of(*store.cached_operator("b")), "old_b");

    // Position is kept: a re-registered first entry stays first.
    store.register_entry(entry("a"));
    EXPECT_EQ(store.list_by_function_type("filtration"), (std::vector<std::string>{"a", "b", "c"}));
}

TEST(FunctionStore, CacheStoresAndReplacesOperators) {
    FunctionStore store;
    EXPECT_FALSE(store.cached_operator("x").has_value());
    store.cache_operator("x", tagged("first"));
    store.cache_operator("x", tagged("second"));
    ASSERT_TRUE(store.cached_operator("x").has_value());
    EXPECT_EQ(tag_of(*store.cached_operator("x")), "second");
}

TEST(FunctionStore, CopiesAndMovesStartWithAnEmptyCache) {
    FunctionStore store;
    store.register_entry(entry("a"));
    store.cache_operator("a", tagged("cached"));

    FunctionStore copy(store);
    EXPECT_TRUE(copy.has("a"));
    EXPECT_FALSE(copy.cached_operator("a").has_value());
    EXPECT_TRUE(store.cached_operator("a").has_value());

    FunctionStore assigned;
    assigned.register_entry(entry("z"));
    assigned.cache_operator("z", tagged("z"));
    assigned = store;
    EXPECT_TRUE(assigned.has("a"));
    EXPECT_FALSE(assigned.has("z"));
    EXPECT_FALSE(assigned.cached_operator("a").has_value());
    EXPECT_FALSE(assigned.cached_operator("z").has_value());

    FunctionStore moved(std::move(copy));
    EXPECT_TRUE(moved.has("a"));
    EXPECT_FALSE(moved.cached_operator("a").has_value());

    FunctionStore move_assigned;
    move_assigned.cache_operator("a", tagged("stale"));
    move_assigned = std::move(store);
    EXPECT_TRUE(move_assigned.has("a"));
    EXPECT_FALSE(move_assigned.cached_operator("a").has_value());
}

}  // namespace
