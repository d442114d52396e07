// Trees ten thousand levels deep and a hundred thousand children wide: evaluation, diagnostics,
// descriptions, printing and comparison work without recursion, so a small thread stack suffices.

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "brindlecap/functions/filtrations_evaluation/product/fields_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/product/resolve_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/tree/resolve.hpp"
#include "brindlecap/functions/registry_and_store/store.hpp"
#include "runtime/small_stack.hpp"
#include "tree_support.hpp"

namespace brindlecap::functions::filtrations_evaluation {
namespace {

using runtime::Dict;
using runtime::Value;
using testing::make_pool;
using testing::raised;
using Ids = std::vector<std::string>;

constexpr int DEEP = 10'000;
constexpr int WIDE = 100'000;

SignalPool small_pool() {
    return make_pool({{"a", {{"x", 1.0}}}, {"b", {{"x", -1.0}}}, {"c", {{"x", 3.0}}}});
}

FilterNode gt_leaf(double v) { return FilterNode{"gt", {{"field", "x"}, {"value", v}}, {}}; }

// `levels` nested not_ nodes above a leaf.
FilterNode not_chain(int levels, FilterNode leaf) {
    FilterNode tree = std::move(leaf);
    for (int i = 0; i < levels; ++i) {
        FilterNode parent{"not_", {}, {}};
        parent.children.push_back(std::move(tree));
        tree = std::move(parent);
    }
    return tree;
}

TEST(DeepTreeTest, TenThousandLevelsEvaluateOrFailWithTheUsualErrors) {
    const SignalPool pool = small_pool();
    const auto store = registry_and_store::build_default_store();
    const FilterNode even = not_chain(DEEP, gt_leaf(0.0));     // same as the leaf
    const FilterNode odd = not_chain(DEEP - 1, gt_leaf(0.0));  // its complement
    const FilterNode empty = not_chain(DEEP, gt_leaf(10.0));   // empty at the root
    const FilterNode unknown = not_chain(DEEP, FilterNode{"nope", {}, {}});
    const FilterNode bad_field = not_chain(DEEP, FilterNode{"gt", {{"field", "y"}, {"value", 0}}, {}});
    const Value products(Dict{{"p1", Dict{{"investment_product_type", "signal"}, {"is_sharpe", 1.0}}},
                              {"p2", Dict{{"investment_product_type", "signal"}, {"is_sharpe", -1.0}}}});
    const FilterNode over_products = not_chain(DEEP, FilterNode{"gt", {{"field", "is_sharpe"}, {"value", 0.0}}, {}});
    FiltrationResult r_even, r_odd;
    std::size_t carried = 0;
    std::string empty_message, unknown_message, field_message, passing_products;
    ::test::on_small_stack([&] {
        r_even = resolve_filtrations(pool, even, store);
        r_odd = resolve_filtrations(pool, odd, store);
        try {
            resolve_filtrations(pool, empty, store);
        } catch (const EmptyFiltrationError& e) {
            empty_message = e.message();
            carried = e.filter_diagnostics.size();
        }
        unknown_message = raised<FilterValidationError>([&] { resolve_filtrations(pool, unknown, store); });
        field_message = raised<FilterValidationError>([&] { resolve_filtrations(pool, bad_field, store); });
        passing_products = runtime::repr(Value(resolve_product_filtrations(products, over_products, "strategy").passing_ids));
    });
    EXPECT_EQ(r_even.passing_ids, Ids({"a", "c"}));
    EXPECT_EQ(r_odd.passing_ids, Ids({"b"}));
    ASSERT_EQ(r_even.filter_diagnostics.size(), static_cast<std::size_t>(DEEP) + 1);
    EXPECT_EQ(r_even.filter_diagnostics.front(), (FilterDiagnostic{"gt(x, 0.0)", 2, "gt"}));
    EXPECT_EQ(r_even.filter_diagnostics[1], (FilterDiagnostic{"not_(1 child)", 1, "not_"}));
    EXPECT_EQ(r_even.filter_diagnostics.back(), (FilterDiagnostic{"not_(1 child)", 2, "not_"}));
    // Every one of the 10,001 diagnostics comes with the error.
    EXPECT_EQ(empty_message, "0 signals pass the complete filter tree (not_)");
    EXPECT_EQ(carried, static_cast<std::size_t>(DEEP) + 1);
    EXPECT_EQ(unknown_message.rfind("Unknown filtration function 'nope'. Registered functions: ['and_', ", 0), 0u);
    EXPECT_EQ(field_message, "Unknown field 'y'. Valid fields: ['x']");
    EXPECT_EQ(passing_products, "['p1']");
}

TEST(DeepTreeTest, HundredThousandChildren) {
    const SignalPool pool = small_pool();
    const auto store = registry_and_store::build_default_store();
    FilterNode wide{"or_", {}, {}};
    wide.children.reserve(WIDE);
    for (int i = 0; i < WIDE; ++i) wide.children.push_back(gt_leaf(i % 2 == 0 ? 2.0 : 0.5));
    FiltrationResult r;
    ::test::on_small_stack([&] { r = resolve_filtrations(pool, wide, store); });
    EXPECT_EQ(r.passing_ids, Ids({"a", "c"}));
    ASSERT_EQ(r.filter_diagnostics.size(), static_cast<std::size_t>(WIDE) + 1);
    EXPECT_EQ(r.filter_diagnostics[0], (FilterDiagnostic{"gt(x, 2.0)", 1, "gt"}));
    EXPECT_EQ(r.filter_diagnostics[1], (FilterDiagnostic{"gt(x, 0.5)", 2, "gt"}));
    EXPECT_EQ(r.filter_diagnostics.back(), (FilterDiagnostic{"or_(100000 children)", 2, "or_"}));
}

TEST(DeepTreeTest, DeepTreesPrintAndCompare) {
    const FilterNode tree = not_chain(DEEP, gt_leaf(0.0));
    // Built rather than copied: copying a FilterNode recurses once per level.
    const FilterNode same = not_chain(DEEP, gt_leaf(0.0));
    FilterNode other = not_chain(DEEP, gt_leaf(0.0));
    FilterNode* bottom = &other;
    while (!bottom->children.empty()) bottom = &bottom->children.front();
    bottom->params.set("value", 1.0);

    std::string text;
    bool equal = false;
    bool differs = false;
    ::test::on_small_stack([&] {
        text = repr(tree);
        equal = tree == same;
        differs = !(tree == other);
    });
    EXPECT_TRUE(equal);
    EXPECT_TRUE(differs);
    const std::string level = "FilterNode(function_name='not_', params={}, children=[";
    EXPECT_EQ(text.rfind(level + level, 0), 0u);
    const std::string leaf_text = "FilterNode(function_name='gt', params={'field': 'x', 'value': 0.0}, children=[])";
    EXPECT_EQ(text.size(), DEEP * (level.size() + 2) + leaf_text.size());
    EXPECT_NE(text.find(level + leaf_text + "])])"), std::string::npos);
}

}  // namespace
}  // namespace brindlecap::functions::filtrations_evaluation
