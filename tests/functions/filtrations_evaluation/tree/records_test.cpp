#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "brindlecap/functions/filtrations_evaluation/tree/records.hpp"
#include "brindlecap/runtime/errors.hpp"
#include "tree_support.hpp"

namespace brindlecap::functions::filtrations_evaluation {
namespace {

using testing::raised;

TEST(TreeRecordsTest, ReprAsTheHostPrintsRecords) {
    EXPECT_EQ(repr(FilterNode{"top_n"}), "FilterNode(function_name='top_n', params={}, children=[])");
    const FilterNode tree{"and_",
                          {{"note", "it's"}},
                          {FilterNode{"gt", {{"field", "is_sharpe"}, {"value", 0.0}}}, FilterNode{"not_"}}};
    EXPECT_EQ(repr(tree),
              "FilterNode(function_name='and_', params={'note': \"it's\"}, children=["
              "FilterNode(function_name='gt', params={'field': 'is_sharpe', 'value': 0.0}, children=[]), "
              "FilterNode(function_name='not_', params={}, children=[])])");

    const FilterDiagnostic d{"gt(is_sharpe, 0.0)", 3, "gt"};
    EXPECT_EQ(repr(d), "FilterDiagnostic(filter_description='gt(is_sharpe, 0.0)', passing_count=3, function_name='gt')");
    EXPECT_EQ(repr(FiltrationResult{{"a", "b"}, 2, 5, {d}}),
              "FiltrationResult(passing_ids=['a', 'b'], signal_count=2, total_pool_size=5, filter_diagnostics=["
              "FilterDiagnostic(filter_description='gt(is_sharpe, 0.0)', passing_count=3, function_name='gt')])");
    EXPECT_EQ(repr(FiltrationResult{{}, 0, 0, {}}),
              "FiltrationResult(passing_ids=[], signal_count=0, total_pool_size=0, filter_diagnostics=[])");

    EXPECT_EQ(repr(FiltrationFieldSchema{"is_sharpe", "numeric", "is", std::nullopt, "sharpe", {"gt", "lt"}, true}),
              "FiltrationFieldSchema(field_name='is_sharpe', field_type='numeric', epoch='is', column=None, "
              "stat='sharpe', compatible_operators=['gt', 'lt'], rankable=True)");
}

TEST(TreeRecordsTest, ErrorDefaults) {
    const EmptyPoolError empty_pool;
    EXPECT_EQ(empty_pool.kind(), "EmptyPoolError");
    EXPECT_EQ(empty_pool.text(), "");
    EXPECT_FALSE(empty_pool.filter_diagnostics.has_value());

    const std::vector<FilterDiagnostic> diags = {{"gt(x, 1)", 0, "gt"}};
    const EmptyPoolError with_diags("m", diags);
    ASSERT_TRUE(with_diags.filter_diagnostics.has_value());
    EXPECT_EQ(*with_diags.filter_diagnostics, diags);

    EXPECT_TRUE(EmptyFiltrationError("x").filter_diagnostics.empty());
    EXPECT_TRUE(EmptyFiltrationError("x", std::vector<FilterDiagnostic>{}).filter_diagnostics.empty());
    const EmptyFiltrationError carried("x", diags);
    EXPECT_EQ(carried.filter_diagnostics, diags);
    EXPECT_EQ(carried.kind(), "EmptyFiltrationError");
    EXPECT_EQ(carried.text(), "x");
    EXPECT_EQ(FilterValidationError("v").kind(), "FilterValidationError");
    EXPECT_EQ(FiltrationSubsetError("s").kind(), "FiltrationSubsetError");
}

TEST(TreeRecordsTest, FieldTypeOperatorTable) {
    EXPECT_EQ(FIELD_TYPE_OPERATORS.size(), 5u);
    const std::vector<std::string> ordered = {"gt",      "gte",     "lt",         "lte",   "eq",      "neq",
                                              "between", "top_pct", "bottom_pct", "top_n", "bottom_n"};
    EXPECT_EQ(field_type_operators("numeric"), ordered);
    EXPECT_EQ(field_type_operators("date"), ordered);
    EXPECT_EQ(field_type_operators("list_str"), std::vector<std::string>{"in_"});
    EXPECT_EQ(field_type_operators("categorical"), (std::vector<std::string>{"eq", "neq", "in_"}));
    EXPECT_EQ(field_type_operators("boolean"), (std::vector<std::string>{"eq", "neq"}));
    EXPECT_TRUE(field_type_operators("float").empty());

    EXPECT_FALSE(field_type_allows("boolean", "in_"));
    EXPECT_TRUE(field_type_allows("boolean", "neq"));
    EXPECT_FALSE(field_type_allows("list_str", "eq"));
    EXPECT_TRUE(field_type_allows("date", "bottom_n"));
    EXPECT_FALSE(field_type_allows("numeric", "in_"));
    EXPECT_FALSE(field_type_allows("unknown", "eq"));
}

TEST(TreeRecordsTest, OperatorCategoriesAndExpectedFields) {
    const std::vector<std::string> all = {"gt",    "gte",        "lt",    "lte",      "eq",   "neq",
                                          "between", "in_",      "top_pct", "bottom_pct", "top_n",
                                          "bottom_n", "and_",    "or_",   "not_"};
    for (const auto& name : all) {
        const int memberships = detail::COMPARISON_OPS.contains(name) + detail::RANK_OPS.contains(name) +
                                detail::BOOLEAN_OPS.contains(name);
        EXPECT_EQ(memberships, 1) << name;
    }
    EXPECT_EQ(detail::COMPARISON_OPS.size() + detail::RANK_OPS.size() + detail::BOOLEAN_OPS.size(), all.size());
    EXPECT_TRUE(detail::COMPARISON_OPS.contains("in_"));
    EXPECT_TRUE(detail::RANK_OPS.contains("top_n"));
    EXPECT_FALSE(detail::BOOLEAN_OPS.contains("filtration"));

    EXPECT_EQ(detail::EXPECTED_METADATA_FIELDS,
              (detail::NameSet{"is_sharpe", "is_returns", "is_turnover", "rotation_families_used",
                               "expression_complexity", "submission_date", "is_active", "signal_category"}));
}

TEST(TreeRecordsTest, FieldTypeInference) {
    using detail::infer_field_type;
    const double nan = std::numeric_limits<double>::quiet_NaN();
    EXPECT_EQ(infer_field_type(true, "x", true), "boolean");
    EXPECT_EQ(infer_field_type(false, "is_date", true), "boolean");
    EXPECT_EQ(infer_field_type(3, "x", true), "numeric");
    EXPECT_EQ(infer_field_type(nan, "x", true), "numeric");
    EXPECT_EQ(infer_field_type(Value::list({}), "x", true), "list_str");
    EXPECT_EQ(infer_field_type(Value::list({1, 2}), "x_date", true), "list_str");
    EXPECT_EQ(infer_field_type("s", "x", true), "categorical");
    EXPECT_EQ(infer_field_type(Value(), "x", true), "numeric");
    EXPECT_EQ(infer_field_type(Value(Dict{}), "x", true), "numeric");

    // Date refinement applies to numbers under names ending in _date or _timestamp.
    EXPECT_EQ(infer_field_type(1.7e9, "submission_date", true), "date");
    EXPECT_EQ(infer_field_type(17, "created_timestamp", true), "date");
    EXPECT_EQ(infer_field_type(1.7e9, "submission_date", false), "numeric");
    EXPECT_EQ(infer_field_type(1.7e9, "submission_count", true), "numeric");
    EXPECT_EQ(infer_field_type(1.7e9, "date_of_submission", true), "numeric");
    EXPECT_EQ(infer_field_type("2024-01-01", "submission_date", true), "categorical");
    EXPECT_EQ(infer_field_type(Value(), "submission_date", true), "numeric");
}

TEST(TreeRecordsTest, SingleFormOperatorsRejectOtherForms) {
    const IdSet keys{"a"};
    const Dict params;
    const std::vector<IdSet> children{IdSet{"a"}};
    PreparedField prepared;
    const OperatorCall combinator{CallForm::Combinator, &keys, &params, &children, nullptr};
    const OperatorCall field_leaf{CallForm::FieldLeaf, nullptr, &params, nullptr, &prepared};
    const OperatorCall plain_leaf{CallForm::PlainLeaf, &keys, &params, nullptr, nullptr};

    const auto returns_a = [](auto&&...) -> OperatorResult { return IdSet{"a"}; };
    const Operator f = field_operator("f", returns_a);
    const Operator c = combinator_operator("c", returns_a);
    const Operator p = plain_operator("p", returns_a);

    EXPECT_EQ(std::get<IdSet>(f(field_leaf)), IdSet{"a"});
    EXPECT_EQ(std::get<IdSet>(c(combinator)), IdSet{"a"});
    EXPECT_EQ(std::get<IdSet>(p(plain_leaf)), IdSet{"a"});

    EXPECT_EQ(raised<runtime::TypeError>([&] { f(combinator); }), "f() takes 2 positional arguments but 3 were given");
    EXPECT_EQ(raised<runtime::TypeError>([&] { c(plain_leaf); }),
              "c() missing 1 required positional argument: 'children_results'");
    EXPECT_EQ(raised<runtime::TypeError>([&] { c(field_leaf); }),
              "c() missing 1 required positional argument: 'children_results'");
    EXPECT_FALSE(raised<runtime::TypeError>([&] { f(plain_leaf); }).empty());
    EXPECT_FALSE(raised<runtime::TypeError>([&] { p(field_leaf); }).empty());
    EXPECT_FALSE(raised<runtime::TypeError>([&] { p(combinator); }).empty());
}

}  // namespace
}  // namespace brindlecap::functions::filtrations_evaluation
