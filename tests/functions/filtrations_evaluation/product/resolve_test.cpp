#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "brindlecap/functions/filtrations_evaluation/product/fields_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/product/resolve_internal.hpp"
#include "brindlecap/runtime/errors.hpp"
#include "brindlecap/runtime/value.hpp"
#include "case_file.hpp"
#include "runtime/value_printer.hpp"

namespace brindlecap::functions::filtrations_evaluation {
namespace {

using registry_and_store::FunctionStore;
using registry_and_store::StoreEntry;
using runtime::Dict;
using runtime::List;
using runtime::Value;
using test::key_texts;
using Ids = std::vector<std::string>;

Value product(const char* layer, Dict fields) {
    fields.set(Value("investment_product_type"), Value(layer));
    return Value(std::move(fields));
}
Value signal(double sharpe, long market_id) {
    return product("signal", Dict{{"is_sharpe", sharpe}, {"market_id", market_id}});
}
Value object(Dict attrs) { return Value(std::make_shared<runtime::AttrObject>("Product", std::move(attrs))); }

FilterNode leaf(std::string fn, Dict params) { return FilterNode{std::move(fn), std::move(params), {}}; }
FilterNode node(std::string fn, std::vector<FilterNode> children) { return FilterNode{std::move(fn), {}, std::move(children)}; }
FilterNode gt(Value field, Value value) { return leaf("gt", Dict{{"field", field}, {"value", value}}); }
const FilterNode kSelectAll = leaf("filtration", Dict{{"select_all", true}});

ProductFiltrationResult resolve(const Value& products, const FilterNode& tree, const std::string& type = "strategy",
                                const FunctionStore* store = nullptr) {
    return resolve_product_filtrations(products, tree, type, {}, store);
}
Ids passing(const ProductFiltrationResult& r) { return test::str_items(*r.passing_ids); }

// Message of the error a resolution raises.
std::string failure(const Value& products, const FilterNode* tree, const std::string& type,
                    const FunctionStore* store = nullptr) {
    return test::message_of<runtime::Exception>([&] { detail::resolve_product_filtrations(products, tree, type, {}, store); });
}

// A store whose `gt` records the identifiers of every prepared field it sees.
struct RecordingStore {
    std::shared_ptr<Ids> seen = std::make_shared<Ids>();
    FunctionStore store;
    RecordingStore() {
        const auto gt = [seen = seen](const PreparedField& field, const Dict& params) -> OperatorResult {
            IdSet out = IdSet::over(field.pool_keys.universe());
            for (const PreparedValue& v : field.values) {
                seen->emplace_back(v.id);
                if (runtime::greater(*v.value, params.at(Value("value")))) out.insert_pos(v.pos);
            }
            return out;
        };
        store.register_entry(StoreEntry{"gt", "filtration", field_operator("gt", gt), "", "", Value()});
    }
};

// tests/data/cases/products.jsonl, and the rows whose ids are not strings.
TEST(ProductResolution, ValidationMessagesFromTheTable) {
    for (const test::Case& c : test::read_cases("products.jsonl")) {
        const FilterNode tree = tree_from_value(c["tree"]);
        EXPECT_EQ(failure(c["products"], &tree, c.str("type")), c.str("error")) << c.where;
    }
    const Value numbered(Dict{{10, product("signal", Dict{{"is_sharpe", 1.0}})}, {11, signal(1.0, 7)},
                              {9, product("signal", Dict{{"is_sharpe", 2.0}})}});
    const std::string unregistered = "' for signal; product predicates must use source-backed registry fields";
    struct Row {
        Value products;
        FilterNode tree;
        const char* type;
        std::string message;
    };
    const std::vector<Row> rows = {
        // Missing fields list the candidates sorted as text; the first failing reference wins.
        {numbered, gt("market_id", 1), "strategy",
         "Registered product filtration field 'market_id' missing from prior-layer signal products: ['10', '9']"},
        {numbered, node("and_", {gt("is_sharpe", 0.0), gt("era_number", 0), gt("market_id", 1)}), "strategy",
         "Unregistered product filtration field 'era_number" + unregistered},
        {Value(Dict{{9, signal(1.0, 1)}, {"a", signal(1.0, 1)}}), kSelectAll, "strategy",
         "'<' not supported between instances of 'str' and 'int'"},
    };
    for (const auto& row : rows) EXPECT_EQ(failure(row.products, &row.tree, row.type), row.message) << row.message;
    EXPECT_EQ(failure(Value(3), nullptr, "strategy"), "product filtration tree is required");
    // Identifiers are ordered even when their products are not candidates.
    EXPECT_THROW(resolve(Value(Dict{{"a", signal(1.0, 1)}, {1.5, product("book", Dict{})}}), kSelectAll),
                 runtime::TypeError);
}

TEST(ProductResolution, SelectAllAndPriorLayerCandidates) {
    const Value mixed(Dict{
        {"plain", signal(1.0, 1)},
        {"nested", Value(Dict{{"investment_product_type", Value()}, {"metadata", Dict{{"investment_product_type", "signal"}}}})},
        // A top-level layer is not overridden by the nested one.
        {"top_wins", product("strategy", Dict{{"metadata", Dict{{"investment_product_type", "signal"}}}})},
        {"no_layer", Value(Dict{{"is_sharpe", 1.0}})},
        {"scalar", Value(5)},
        {"strat", product("strategy", Dict{})},
    });
    const ProductFiltrationResult r = resolve(mixed, kSelectAll);
    EXPECT_EQ(passing(r), (Ids{"nested", "plain"}));
    EXPECT_EQ(r.product_layer, "signal");
    EXPECT_EQ(r.total_pool_size, 2);
    EXPECT_EQ(r.filter_diagnostics, (std::vector<FilterDiagnostic>{{"filtration(0 children)", 2, "filtration"}}));
    const ProductFiltrationResult alloc = resolve(mixed, kSelectAll, "allocation");
    EXPECT_EQ(passing(alloc), (Ids{"strat", "top_wins"}));
    EXPECT_EQ(alloc.product_layer, "strategy");
    EXPECT_EQ(alloc.investment_product_type, "allocation");
}

TEST(ProductResolution, IntegerIdentifiersAndTheResultRecord) {
    const Value a = signal(2.0, 1);
    const Value products(Dict{{10, a}, {9, signal(3.0, 2)}, {8, signal(0.5, 1)}});
    RecordingStore recording;
    const ProductFiltrationResult r = resolve(products, gt("is_sharpe", 1.0), "strategy", &recording.store);
    // Candidates in the numeric order of the caller's ids; passing ids sorted as text.
    ASSERT_GE(recording.seen->size(), 3u);
    EXPECT_EQ(Ids(recording.seen->begin(), recording.seen->begin() + 3), (Ids{"8", "9", "10"}));
    EXPECT_EQ(passing(r), (Ids{"10", "9"}));
    EXPECT_EQ(key_texts(r.selected_products), (Ids{"10", "9"}));
    // The record's three id lists are one list, products are the caller's objects.
    const Dict d = r.to_dict();
    EXPECT_EQ(key_texts(d), (Ids{"passing_ids", "selected_ids", "product_ids", "product_layer", "investment_product_type",
                                 "total_pool_size", "filter_diagnostics", "selected_products", "reduction_result"}));
    EXPECT_TRUE(d.at(Value("passing_ids")).is(d.at(Value("selected_ids"))));
    EXPECT_TRUE(d.at(Value("passing_ids")).is(d.at(Value("product_ids"))));
    EXPECT_TRUE(d.at(Value("selected_products")).as_dict().at(Value("10")).is(a));
    EXPECT_EQ(runtime::repr(d.at(Value("filter_diagnostics"))),
              "[{'filter_description': 'gt(is_sharpe, 1.0)', 'passing_count': 2, 'function_name': 'gt'}]");
    EXPECT_EQ(d.at(Value("total_pool_size")), Value(3));
    EXPECT_TRUE(d.at(Value("reduction_result")).is_none());

    // An operator the given store lacks is unknown, whatever the default store holds.
    EXPECT_EQ(failure(products, &kSelectAll, "strategy", &recording.store),
              "Unknown filtration function 'filtration'. Registered functions: ['gt']");
}

TEST(ProductResolution, ReductionRunsOnceOverTheSelectionOrNotAtAll) {
    const Value products(Dict{{"a", signal(2.0, 1)}, {"b", signal(0.0, 1)}, {"c", signal(5.0, 1)}});
    int calls = 0;
    Ids seen;
    const auto reduce = [&](const Dict& selected) {
        ++calls;
        seen = key_texts(selected);
        return Value(static_cast<long>(selected.size()) * 10);
    };
    const FilterNode tree = gt("is_sharpe", 1.0);
    const ProductFiltrationResult r = resolve_product_filtrations(products, tree, "strategy", reduce);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(seen, (Ids{"a", "c"}));
    EXPECT_EQ(r.to_dict().at(Value("reduction_result")), Value(20));

    const FilterNode none_pass = gt("is_sharpe", 100.0);
    try {
        resolve_product_filtrations(products, none_pass, "strategy", reduce);
        ADD_FAILURE() << "no EmptyFiltrationError";
    } catch (const EmptyFiltrationError& e) {
        EXPECT_EQ(e.filter_diagnostics.at(0).passing_count, 0);
    }
    EXPECT_EQ(calls, 1);
}

TEST(ProductResolution, MetadataIsReadLenientlyAndProductsAreLeftUntouched) {
    const Value nested(Dict{{"investment_product_type", "signal"}, {"is_sharpe", 1.0}, {"status", "retired"},
                            {"metadata", Dict{{"is_sharpe", 2.0}, {"market_id", 4}, {"rotations_used", Value::list({"r1"})}}}});
    const Dict all = detail::product_metadata(Value("p"), nested);
    EXPECT_EQ(key_texts(all), (Ids{"is_sharpe", "market_id", "rotations_used", "investment_product_type", "status",
                                   "product_id"}));
    EXPECT_EQ(all.at(Value("is_sharpe")), Value(2.0));  // nested metadata wins
    EXPECT_EQ(detail::product_metadata(Value(7), Value(Dict{{"product_id", "own"}})).at(Value("product_id")), Value("own"));
    EXPECT_EQ(detail::product_metadata(Value(7), Value(Dict{})).at(Value("product_id")), Value("7"));
    EXPECT_EQ(key_texts(detail::registered_product_metadata(Value("p"), nested,
                                                            detail::product_field_registry_for_layer("signal"))),
              (Ids{"market_id", "status", "is_sharpe", "rotations_used"}));  // registry order

    // Objects: the fixed attribute names are read; nested metadata wins over an attribute.
    const Value strong = object(Dict{{"investment_product_type", "signal"}, {"market_id", 3}, {"metadata", Dict{{"is_sharpe", 2.5}}}});
    const Value weak = object(Dict{{"investment_product_type", Value()}, {"market_id", 3},
                                   {"metadata", Dict{{"investment_product_type", "signal"}, {"is_sharpe", 0.5}, {"market_id", 8}}}});
    const Value flat = object(Dict{{"investment_product_type", "signal"}, {"is_sharpe", 2.0}});
    EXPECT_EQ(detail::product_metadata(Value("w"), weak).at(Value("market_id")), Value(8));
    const FilterNode sharpe = gt("is_sharpe", 1.0);
    EXPECT_EQ(failure(Value(Dict{{"f", flat}}), &sharpe, "strategy"),
              "Registered product filtration field 'is_sharpe' missing from prior-layer signal products: ['f']");
    const ProductFiltrationResult objects = resolve(
        Value(Dict{{"s", strong}, {"w", weak}}), node("and_", {gt("is_sharpe", 1.0), leaf("eq", Dict{{"field", "market_id"}, {"value", 3}})}));
    EXPECT_EQ(passing(objects), (Ids{"s"}));
    EXPECT_TRUE(objects.selected_products.at(Value("s")).is(strong));

    const Value products(Dict{{"p", nested}, {"q", signal(1.5, 4)}, {"x", product("strategy", Dict{{"is_sharpe", 9.0}})}});
    const Value before = products.deep_copy();
    EXPECT_EQ(passing(resolve(products, gt("is_sharpe", 1.75))), (Ids{"p"}));
    EXPECT_THROW(resolve(products, leaf("in_", Dict{{"field", "rotations_used"}, {"values", Value::list({"r1"})}})),
                 FilterValidationError);
    EXPECT_EQ(products, before);
    EXPECT_FALSE(products.as_dict().at(Value("p")).as_dict().contains("product_id"));
}

}  // namespace
}  // namespace brindlecap::functions::filtrations_evaluation
