#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "brindlecap/functions/filtrations_evaluation/product/product.hpp"
#include "brindlecap/runtime/errors.hpp"
#include "brindlecap/runtime/value.hpp"
#include "runtime/value_printer.hpp"

namespace brindlecap::functions::filtrations_evaluation {
namespace {

using registry_and_store::StoreEntry;
using runtime::Dict;
using runtime::List;
using runtime::Value;

Value product(const char* layer, Dict fields) {
    fields.set(Value("investment_product_type"), Value(layer));
    return Value(std::move(fields));
}

Value signal(double sharpe, long market_id) {
    return product("signal", Dict{{"is_sharpe", sharpe}, {"market_id", market_id}});
}

FilterNode leaf(std::string fn, Dict params) { return FilterNode{std::move(fn), std::move(params), {}}; }

FilterNode select_all() { return leaf("filtration", Dict{{"select_all", true}}); }

template <class E, class F>
std::string message_of(F&& f) {
    try {
        f();
    } catch (const E& e) {
        return e.message();
    }
    return "<no error>";
}

std::vector<std::string> ids_of(const List& ids) {
    std::vector<std::string> out;
    for (const Value& v : ids) out.push_back(v.as_str());
    return out;
}

std::vector<std::string> keys_of(const Dict& d) {
    std::vector<std::string> out;
    for (const auto& [k, v] : d) out.push_back(runtime::str(k));
    return out;
}

// A store whose `gt` records the identifiers of every prepared field it sees.
struct RecordingStore {
    std::shared_ptr<std::vector<std::string>> seen = std::make_shared<std::vector<std::string>>();
    FunctionStore store;
    RecordingStore() {
        auto seen_ids = seen;
        store.register_entry(StoreEntry{
            "gt", "filtration",
            field_operator("gt",
                           [seen_ids](const PreparedField& field, const Dict& params) -> OperatorResult {
                               List passing;
                               for (const PreparedValue& v : field.values) {
                                   seen_ids->emplace_back(v.id);
                                   if (runtime::greater(*v.value, params.at(Value("value")))) {
                                       passing.emplace_back(std::string(v.id));
                                   }
                               }
                               return Value::list(std::move(passing));
                           }),
            "", "", Value()});
    }
};

TEST(ProductResolution, ArgumentChecksRunInOrder) {
    const FilterNode bare = leaf("filtration", Dict{});
    const FilterNode tree = select_all();

    EXPECT_EQ(message_of<FilterValidationError>(
                  [&] { resolve_product_filtrations(Value(3), nullptr, "signal"); }),
              "investment_product_type must be one of ['allocation', 'book', 'strategy']");
    EXPECT_EQ(message_of<FilterValidationError>(
                  [&] { resolve_product_filtrations(Value(3), nullptr, "strategy"); }),
              "product filtration tree is required");
    EXPECT_EQ(message_of<FilterValidationError>(
                  [&] { resolve_product_filtrations(Value(3), &bare, "book"); }),
              "product select_all must be explicit; use filtration(select_all=True)");
    EXPECT_EQ(message_of<runtime::TypeError>([&] {
                  resolve_product_filtrations(Value::list({signal(1.0, 1)}), &tree, "strategy");
              }),
              "products must be a mapping, got list");
    EXPECT_EQ(message_of<runtime::TypeError>(
                  [&] { resolve_product_filtrations(Value(), &tree, "strategy"); }),
              "products must be a mapping, got NoneType");
}

TEST(ProductResolution, SelectAllMustBeExplicit) {
    const Value products(Dict{{"a", signal(1.0, 1)}, {"b", signal(2.0, 1)}});
    const std::string message =
        "product select_all must be explicit; use filtration(select_all=True)";
    for (const Value& flag : {Value(false), Value(0), Value()}) {
        const FilterNode node = leaf("filtration", Dict{{"select_all", flag}});
        EXPECT_EQ(message_of<FilterValidationError>(
                      [&] { resolve_product_filtrations(products, &node, "strategy"); }),
                  message)
            << runtime::repr(flag);
    }
    EXPECT_TRUE(detail::is_implicit_product_select_all(leaf("filtration", Dict{})));
    EXPECT_FALSE(detail::is_implicit_product_select_all(select_all()));
    EXPECT_FALSE(detail::is_implicit_product_select_all(leaf("and_", Dict{})));
    FilterNode with_child = leaf("filtration", Dict{});
    with_child.children.push_back(leaf("gt", Dict{{"field", "is_sharpe"}, {"value", 0.0}}));
    EXPECT_FALSE(detail::is_implicit_product_select_all(with_child));

    // With select_all true the default store's wrapper selects every candidate.
    const FilterNode tree = select_all();
    const ProductFiltrationResult r = resolve_product_filtrations(products, &tree, "strategy");
    EXPECT_EQ(ids_of(*r.passing_ids), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(r.total_pool_size, 2);
    ASSERT_EQ(r.filter_diagnostics.size(), 1u);
    EXPECT_EQ(r.filter_diagnostics[0].function_name, "filtration");
    EXPECT_EQ(r.filter_diagnostics[0].passing_count, 2);
}

TEST(ProductResolution, OnlyPriorLayerProductsAreCandidates) {
    const FilterNode tree = select_all();
    const Value strategies(Dict{{"s1", product("strategy", Dict{})}, {"s2", product("strategy", Dict{})}});
    EXPECT_EQ(message_of<EmptyPoolError>(
                  [&] { resolve_product_filtrations(strategies, &tree, "strategy"); }),
              "No prior-layer signal products available for strategy filtration");
    EXPECT_EQ(message_of<EmptyPoolError>(
                  [&] { resolve_product_filtrations(Value(Dict{}), &tree, "book"); }),
              "No prior-layer allocation products available for book filtration");

    const Value mixed(Dict{
        {"plain", signal(1.0, 1)},
        {"nested", Value(Dict{{"investment_product_type", Value()},
                              {"metadata", Dict{{"investment_product_type", "signal"}}}})},
        // A top-level layer is not overridden by the nested one.
        {"top_wins", product("strategy", Dict{{"metadata", Dict{{"investment_product_type", "signal"}}}})},
        {"no_layer", Value(Dict{{"is_sharpe", 1.0}})},
        {"scalar", Value(5)},
        {"strat", product("strategy", Dict{})},
    });
    const ProductFiltrationResult r = resolve_product_filtrations(mixed, &tree, "strategy");
    EXPECT_EQ(ids_of(*r.passing_ids), (std::vector<std::string>{"nested", "plain"}));
    EXPECT_EQ(r.product_layer, "signal");
    EXPECT_EQ(r.investment_product_type, "strategy");

    const ProductFiltrationResult alloc = resolve_product_filtrations(mixed, &tree, "allocation");
    EXPECT_EQ(ids_of(*alloc.passing_ids), (std::vector<std::string>{"strat", "top_wins"}));
    EXPECT_EQ(alloc.product_layer, "strategy");
}

TEST(ProductResolution, FieldsMustBeRegisteredForTheLayer) {
    const Value products(Dict{
        {"a", product("signal", Dict{{"era_number", 3}, {"is_sharpe", 1.0}})},
        {"b", product("signal", Dict{{"era_number", 4}, {"is_sharpe", 2.0}})},
    });
    const std::string unregistered_suffix =
        "' for signal; product predicates must use source-backed registry fields";
    for (const char* field : {"era_number", "product_id", "signal.is_sharpe"}) {
        const FilterNode tree = leaf("gt", Dict{{"field", field}, {"value", 0}});
        EXPECT_EQ(message_of<FilterValidationError>(
                      [&] { resolve_product_filtrations(products, &tree, "strategy"); }),
                  std::string("Unregistered product filtration field '") + field + unregistered_suffix);
    }

    const FilterNode in_tree = leaf("in_", Dict{{"field", "is_sharpe"}, {"values", Value::list({1.0})}});
    EXPECT_EQ(message_of<FilterValidationError>(
                  [&] { resolve_product_filtrations(products, &in_tree, "strategy"); }),
              "Operator 'in_' not valid for registered product field 'is_sharpe' (type numeric)");

    // The registered type decides, not the candidates' values.
    const Value string_sharpe(Dict{{"a", product("signal", Dict{{"is_sharpe", "high"}})}});
    const FilterNode in_list = leaf("in_", Dict{{"field", "is_sharpe"}, {"values", Value::list({"high"})}});
    EXPECT_EQ(message_of<FilterValidationError>(
                  [&] { resolve_product_filtrations(string_sharpe, &in_list, "strategy"); }),
              "Operator 'in_' not valid for registered product field 'is_sharpe' (type numeric)");

    const FilterNode gt_tree = leaf("gt", Dict{{"field", "is_sharpe"}, {"value", 1.5}});
    const ProductFiltrationResult r = resolve_product_filtrations(products, &gt_tree, "strategy");
    EXPECT_EQ(ids_of(*r.passing_ids), (std::vector<std::string>{"b"}));
}

TEST(ProductResolution, MissingFieldListsCandidatesSorted) {
    const Value products(Dict{
        {10, product("signal", Dict{{"is_sharpe", 1.0}})},
        {11, signal(1.0, 7)},
        {9, product("signal", Dict{{"is_sharpe", 2.0}})},
    });
    const FilterNode tree = leaf("gt", Dict{{"field", "market_id"}, {"value", 1}});
    EXPECT_EQ(message_of<FilterValidationError>(
                  [&] { resolve_product_filtrations(products, &tree, "strategy"); }),
              "Registered product filtration field 'market_id' missing from prior-layer signal "
              "products: ['10', '9']");

    // The first failing reference in tree order is reported.
    FilterNode both = leaf("and_", Dict{});
    both.children.push_back(leaf("gt", Dict{{"field", "is_sharpe"}, {"value", 0.0}}));
    both.children.push_back(leaf("gt", Dict{{"field", "era_number"}, {"value", 0}}));
    both.children.push_back(tree);
    EXPECT_EQ(message_of<FilterValidationError>(
                  [&] { resolve_product_filtrations(products, &both, "strategy"); }),
              "Unregistered product filtration field 'era_number' for signal; product predicates "
              "must use source-backed registry fields");
}

TEST(ProductResolution, FieldParameterMustBeANonEmptyString) {
    const Value products(Dict{{"a", signal(1.0, 1)}});
    const std::string prefix = "Product filtration field must be a non-empty string, got ";
    const std::vector<std::pair<Value, std::string>> cases{
        {Value(""), "''"}, {Value(5), "5"}, {Value(), "None"}, {Value(2.5), "2.5"}, {Value(true), "True"},
        {Value::list({"is_sharpe"}), "['is_sharpe']"}};
    for (const auto& [field, shown] : cases) {
        // The bad field sits below an unregistered one: every reference is read before any check.
        FilterNode tree = leaf("and_", Dict{});
        tree.children.push_back(leaf("gt", Dict{{"field", "era_number"}, {"value", 0}}));
        FilterNode inner = leaf("or_", Dict{});
        inner.children.push_back(leaf("gt", Dict{{"field", field}, {"value", 0}}));
        tree.children.push_back(inner);
        EXPECT_EQ(message_of<FilterValidationError>(
                      [&] { resolve_product_filtrations(products, &tree, "strategy"); }),
                  prefix + shown);
    }
}

TEST(ProductResolution, FieldReferencesArePreOrder) {
    FilterNode tree = leaf("and_", Dict{{"field", "status"}});
    FilterNode inner = leaf("or_", Dict{});
    inner.children.push_back(leaf("eq", Dict{{"field", "source"}}));
    inner.children.push_back(leaf("in_", Dict{{"field", "rotations_used"}}));
    tree.children.push_back(inner);
    tree.children.push_back(leaf("gt", Dict{{"field", "is_sharpe"}}));
    tree.children.push_back(leaf("filtration", Dict{{"select_all", true}}));
    const std::vector<std::pair<std::string, std::string>> expected{
        {"status", "and_"}, {"source", "eq"}, {"rotations_used", "in_"}, {"is_sharpe", "gt"}};
    EXPECT_EQ(detail::product_filter_field_references(tree), expected);
}

TEST(ProductResolution, IntegerIdentifiersSortNumericallyThenAsText) {
    const Value products(Dict{{10, signal(2.0, 1)}, {9, signal(3.0, 1)}, {8, signal(0.5, 1)}});
    RecordingStore recording;
    const FilterNode tree = leaf("gt", Dict{{"field", "is_sharpe"}, {"value", 1.0}});
    const ProductFiltrationResult r =
        resolve_product_filtrations(products, &tree, "strategy", {}, &recording.store);

    // Candidates in numeric order of the caller's ids (the operator sees each once per call).
    ASSERT_FALSE(recording.seen->empty());
    EXPECT_EQ(std::vector<std::string>(recording.seen->begin(), recording.seen->begin() + 3),
              (std::vector<std::string>{"8", "9", "10"}));
    EXPECT_EQ(ids_of(*r.passing_ids), (std::vector<std::string>{"10", "9"}));
    EXPECT_EQ(keys_of(r.selected_products), (std::vector<std::string>{"10", "9"}));
    EXPECT_TRUE(r.selected_products.at(Value("10")).is(products.as_dict().at(Value(10))));
    EXPECT_EQ(r.total_pool_size, 3);

    const Value candidates_source(Dict{{10, signal(1.0, 1)}, {9, signal(1.0, 1)}});
    EXPECT_EQ(keys_of(detail::prior_layer_products(candidates_source.as_dict(), "signal")),
              (std::vector<std::string>{"9", "10"}));
}

TEST(ProductResolution, MixedIdentifierKindsAreUnorderable) {
    const FilterNode tree = select_all();
    const Value mixed(Dict{{9, signal(1.0, 1)}, {"a", signal(1.0, 1)}});
    EXPECT_EQ(message_of<runtime::TypeError>(
                  [&] { resolve_product_filtrations(mixed, &tree, "strategy"); }),
              "'<' not supported between instances of 'str' and 'int'");
    // Identifiers are ordered even when their products are not candidates.
    const Value other_layer(Dict{{"a", signal(1.0, 1)}, {1.5, product("book", Dict{})}});
    EXPECT_THROW(resolve_product_filtrations(other_layer, &tree, "strategy"), runtime::TypeError);
}

TEST(ProductResolution, ResultSharesIdListsAndCallerProducts) {
    const Value a = signal(2.0, 1);
    const Value b = signal(3.0, 2);
    const Value products(Dict{{"b", b}, {"a", a}, {"c", signal(0.0, 1)}});
    FilterNode tree = leaf("and_", Dict{});
    tree.children.push_back(leaf("gt", Dict{{"field", "is_sharpe"}, {"value", 1.0}}));
    tree.children.push_back(leaf("lte", Dict{{"field", "market_id"}, {"value", 2}}));
    const ProductFiltrationResult r = resolve_product_filtrations(products, &tree, "strategy");

    EXPECT_EQ(r.passing_ids.get(), r.selected_ids.get());
    EXPECT_EQ(r.passing_ids.get(), r.product_ids.get());
    EXPECT_EQ(ids_of(*r.passing_ids), (std::vector<std::string>{"a", "b"}));
    EXPECT_TRUE(r.selected_products.at(Value("a")).is(a));
    EXPECT_TRUE(r.selected_products.at(Value("b")).is(b));
    EXPECT_TRUE(r.reduction_result.is_none());

    const Dict d = r.to_dict();
    EXPECT_EQ(keys_of(d), (std::vector<std::string>{
                              "passing_ids", "selected_ids", "product_ids", "product_layer",
                              "investment_product_type", "total_pool_size", "filter_diagnostics",
                              "selected_products", "reduction_result"}));
    EXPECT_TRUE(d.at(Value("passing_ids")).is(d.at(Value("selected_ids"))));
    EXPECT_TRUE(d.at(Value("passing_ids")).is(d.at(Value("product_ids"))));
    EXPECT_TRUE(d.at(Value("selected_products")).as_dict().at(Value("a")).is(a));
    EXPECT_EQ(d.at(Value("total_pool_size")), Value(3));
    EXPECT_TRUE(d.at(Value("reduction_result")).is_none());

    const List& diags = d.at(Value("filter_diagnostics")).as_list();
    ASSERT_EQ(diags.size(), 3u);
    ASSERT_EQ(r.filter_diagnostics.size(), 3u);
    for (std::size_t i = 0; i < diags.size(); ++i) {
        const Dict& entry = diags[i].as_dict();
        EXPECT_EQ(keys_of(entry), (std::vector<std::string>{"filter_description", "passing_count",
                                                            "function_name"}));
        EXPECT_EQ(entry.at(Value("filter_description")),
                  Value(r.filter_diagnostics[i].filter_description));
        EXPECT_EQ(entry.at(Value("passing_count")), Value(r.filter_diagnostics[i].passing_count));
        EXPECT_EQ(entry.at(Value("function_name")), Value(r.filter_diagnostics[i].function_name));
    }
    EXPECT_EQ(r.filter_diagnostics.back().function_name, "and_");
    EXPECT_EQ(r.filter_diagnostics.back().passing_count, 2);
}

TEST(ProductResolution, ReductionRunsOnceOverTheSelection) {
    const Value products(Dict{{"a", signal(2.0, 1)}, {"b", signal(0.0, 1)}, {"c", signal(5.0, 1)}});
    const FilterNode tree = leaf("gt", Dict{{"field", "is_sharpe"}, {"value", 1.0}});
    int calls = 0;
    std::vector<std::string> seen;
    const ProductFiltrationResult r = resolve_product_filtrations(
        products, &tree, "strategy", [&](const Dict& selected) {
            ++calls;
            seen = keys_of(selected);
            return Value(static_cast<long>(selected.size()) * 10);
        });
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(seen, (std::vector<std::string>{"a", "c"}));
    EXPECT_EQ(r.reduction_result, Value(20));
    EXPECT_EQ(r.to_dict().at(Value("reduction_result")), Value(20));

    // A failing evaluation never reaches the reduction.
    const FilterNode none_pass = leaf("gt", Dict{{"field", "is_sharpe"}, {"value", 100.0}});
    calls = 0;
    try {
        resolve_product_filtrations(products, &none_pass, "strategy",
                                    [&](const Dict&) { ++calls; return Value(); });
        ADD_FAILURE() << "no EmptyFiltrationError";
    } catch (const EmptyFiltrationError& e) {
        ASSERT_EQ(e.filter_diagnostics.size(), 1u);
        EXPECT_EQ(e.filter_diagnostics[0].passing_count, 0);
    }
    EXPECT_EQ(calls, 0);
}

TEST(ProductResolution, MetadataIsReadLenientlyAndNestedWins) {
    const Value nested(Dict{{"investment_product_type", "signal"},
                            {"is_sharpe", 1.0},
                            {"status", "retired"},
                            {"metadata", Dict{{"is_sharpe", 2.0}, {"market_id", 4}}}});
    const Dict all = detail::product_metadata(Value("p"), nested);
    EXPECT_EQ(keys_of(all), (std::vector<std::string>{"is_sharpe", "market_id",
                                                      "investment_product_type", "status",
                                                      "product_id"}));
    EXPECT_EQ(all.at(Value("is_sharpe")), Value(2.0));
    EXPECT_EQ(all.at(Value("product_id")), Value("p"));
    // A product's own product_id is kept; an integer id is given as text.
    EXPECT_EQ(detail::product_metadata(Value(7), Value(Dict{{"product_id", "own"}}))
                  .at(Value("product_id")),
              Value("own"));
    EXPECT_EQ(detail::product_metadata(Value(7), Value(Dict{})).at(Value("product_id")), Value("7"));

    const Dict registered = detail::registered_product_metadata(
        Value("p"), nested, detail::product_field_registry_for_layer("signal"));
    EXPECT_EQ(keys_of(registered), (std::vector<std::string>{"market_id", "status", "is_sharpe"}));

    const Value products(Dict{{"p", nested}, {"q", signal(1.5, 4)}});
    const FilterNode tree = leaf("gt", Dict{{"field", "is_sharpe"}, {"value", 1.75}});
    const ProductFiltrationResult r = resolve_product_filtrations(products, &tree, "strategy");
    EXPECT_EQ(ids_of(*r.passing_ids), (std::vector<std::string>{"p"}));
}

TEST(ProductResolution, ObjectProductsReadTheirAttributes) {
    auto make = [](Dict attrs) {
        return Value(std::make_shared<runtime::AttrObject>("Product", std::move(attrs)));
    };
    const Value strong = make(Dict{{"investment_product_type", "signal"},
                                   {"market_id", 3},
                                   {"metadata", Dict{{"is_sharpe", 2.5}}}});
    const Value weak = make(Dict{{"investment_product_type", Value()},
                                 {"market_id", 3},
                                 {"metadata", Dict{{"investment_product_type", "signal"},
                                                   {"is_sharpe", 0.5},
                                                   {"market_id", 8}}}});
    const Value products(Dict{{"s", strong}, {"w", weak}});

    FilterNode tree = leaf("and_", Dict{});
    tree.children.push_back(leaf("gt", Dict{{"field", "is_sharpe"}, {"value", 1.0}}));
    tree.children.push_back(leaf("eq", Dict{{"field", "market_id"}, {"value", 3}}));
    const ProductFiltrationResult r = resolve_product_filtrations(products, &tree, "strategy");
    EXPECT_EQ(ids_of(*r.passing_ids), (std::vector<std::string>{"s"}));
    EXPECT_TRUE(r.selected_products.at(Value("s")).is(strong));

    // Nested metadata wins over the attribute.
    EXPECT_EQ(detail::product_metadata(Value("w"), weak).at(Value("market_id")), Value(8));
    EXPECT_EQ(keys_of(detail::product_metadata(Value("s"), strong)),
              (std::vector<std::string>{"is_sharpe", "investment_product_type", "market_id",
                                        "product_id"}));

    // Only the fixed attribute names are read from objects.
    const Value flat = make(Dict{{"investment_product_type", "signal"}, {"is_sharpe", 2.0}});
    const FilterNode sharpe = leaf("gt", Dict{{"field", "is_sharpe"}, {"value", 1.0}});
    EXPECT_EQ(message_of<FilterValidationError>([&] {
                  resolve_product_filtrations(Value(Dict{{"f", flat}}), &sharpe, "strategy");
              }),
              "Registered product filtration field 'is_sharpe' missing from prior-layer signal "
              "products: ['f']");
    EXPECT_EQ(detail::product_layer(flat), Value("signal"));
    EXPECT_TRUE(detail::product_layer(make(Dict{})).is_none());
}

TEST(ProductResolution, CallerProductsAreLeftUntouched) {
    const Value products(Dict{
        {"a", product("signal", Dict{{"is_sharpe", 2.0},
                                     {"metadata", Dict{{"market_id", 1}, {"rotations_used",
                                                                          Value::list({"r1"})}}}})},
        {"b", signal(3.0, 1)},
        {"x", product("strategy", Dict{{"is_sharpe", 9.0}})},
    });
    const Value before = products.deep_copy();
    const FilterNode tree = leaf("in_", Dict{{"field", "rotations_used"}, {"values", Value::list({"r1"})}});
    EXPECT_THROW(resolve_product_filtrations(products, &tree, "strategy"), FilterValidationError);
    const FilterNode sharpe = leaf("gt", Dict{{"field", "is_sharpe"}, {"value", 0.0}});
    const ProductFiltrationResult r = resolve_product_filtrations(products, &sharpe, "strategy");
    EXPECT_EQ(ids_of(*r.passing_ids), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(products, before);
    EXPECT_FALSE(products.as_dict().at(Value("a")).as_dict().contains("product_id"));
}

TEST(ProductResolution, GivenStoreIsUsed) {
    const Value products(Dict{{"a", signal(2.0, 1)}, {"b", signal(0.0, 1)}});
    RecordingStore recording;
    const FilterNode tree = leaf("gt", Dict{{"field", "is_sharpe"}, {"value", 1.0}});
    const ProductFiltrationResult r =
        resolve_product_filtrations(products, &tree, "strategy", {}, &recording.store);
    EXPECT_EQ(ids_of(*r.passing_ids), (std::vector<std::string>{"a"}));
    EXPECT_FALSE(recording.seen->empty());

    // An operator the given store lacks is unknown, whatever the default store holds.
    const FilterNode lt = leaf("lt", Dict{{"field", "is_sharpe"}, {"value", 1.0}});
    EXPECT_EQ(message_of<FilterValidationError>([&] {
                  resolve_product_filtrations(products, &lt, "strategy", {}, &recording.store);
              }),
              "Unknown filtration function 'lt'. Registered functions: ['gt']");
}

}  // namespace
}  // namespace brindlecap::functions::filtrations_evaluation
