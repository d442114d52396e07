#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "brindlecap/functions/filtrations_evaluation/core/errors.hpp"
#include "brindlecap/functions/filtrations_evaluation/core/operator.hpp"
#include "brindlecap/functions/filtrations_evaluation/core/pool.hpp"
#include "brindlecap/functions/filtrations_evaluation/core/records.hpp"
#include "brindlecap/runtime/errors.hpp"
#include "brindlecap/functions/filtrations_evaluation/core/vocabulary_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/tree/dispatch_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/tree/resolve_internal.hpp"
#include "case_file.hpp"
#include "tree_support.hpp"

namespace brindlecap::functions::filtrations_evaluation {
namespace {

using runtime::Dict;
using runtime::Value;
using testing::raised;
using Names = std::vector<std::string>;

const registry_and_store::FunctionStore& builtins() {
    static const registry_and_store::FunctionStore store = registry_and_store::build_default_store();
    return store;
}

TEST(TreeRecordsTest, ReprAsTheHostPrintsRecords) {
    const FilterNode tree{"and_",
                          {{"note", "it's"}},
                          {FilterNode{"gt", {{"field", "is_sharpe"}, {"value", 0.0}}}, FilterNode{"not_"}}};
    EXPECT_EQ(repr(tree),
              "FilterNode(function_name='and_', params={'note': \"it's\"}, children=["
              "FilterNode(function_name='gt', params={'field': 'is_sharpe', 'value': 0.0}, children=[]), "
              "FilterNode(function_name='not_', params={}, children=[])])");
    const FilterDiagnostic d{"gt(is_sharpe, 0.0)", 3, "gt"};
    EXPECT_EQ(repr(FiltrationResult{{"a", "b"}, 2, 5, {d}}),
              "FiltrationResult(passing_ids=['a', 'b'], signal_count=2, total_pool_size=5, filter_diagnostics=["
              "FilterDiagnostic(filter_description='gt(is_sharpe, 0.0)', passing_count=3, function_name='gt')])");
    EXPECT_EQ(repr(FiltrationFieldSchema{"is_sharpe", "numeric", "is", std::nullopt, "sharpe", {"gt", "lt"}, true}),
              "FiltrationFieldSchema(field_name='is_sharpe', field_type='numeric', epoch='is', column=None, "
              "stat='sharpe', compatible_operators=['gt', 'lt'], rankable=True)");

    // Error kinds and the diagnostics they carry by default.
    EXPECT_FALSE(EmptyPoolError().filter_diagnostics.has_value());
    EXPECT_TRUE(EmptyFiltrationError("x").filter_diagnostics.empty());
    EXPECT_EQ(EmptyFiltrationError("x", std::vector<FilterDiagnostic>{d}).filter_diagnostics.at(0), d);
}

// tests/data/cases/tree.jsonl: descriptions, field types, results made into id sets, trees resolved.
TEST(TreeRecordsTest, CasesFromTheTable) {
    for (const test::Case& c : test::read_cases("tree.jsonl")) {
        if (c.has("describe")) {
            EXPECT_EQ(detail::build_filter_description(tree_from_value(c["describe"])), c.str("is")) << c.where;
        } else if (c.has("read")) {
            EXPECT_EQ(test::outcome_text([&] { return tree_to_value(tree_from_value(c["read"])); }), c.str("error")) << c.where;
        } else if (c.has("infer")) {
            EXPECT_EQ(to_string(detail::infer_field_type(c["infer"], c.str("name"), c["refine"].as_bool())), c.str("is")) << c.where;
        } else if (c.has("resolve")) {
            std::vector<std::pair<std::string, Dict>> signals;
            for (const auto& [id, metadata] : c["signals"].as_dict()) signals.emplace_back(id.as_str(), metadata.as_dict());
            // Row and column-born pools alike.
            for (const SignalPool& pool : {testing::make_pool(signals), testing::born_pool(signals)}) {
                std::vector<FilterDiagnostic> diagnostics;
                const std::string got = test::outcome_text([&] {
                    try {
                        const FiltrationResult r = resolve_filtrations(pool, tree_from_value(c["resolve"]), builtins());
                        diagnostics = r.filter_diagnostics;
                        EXPECT_EQ(r.signal_count, static_cast<std::int64_t>(r.passing_ids.size())) << c.where;
                        EXPECT_EQ(r.total_pool_size, static_cast<std::int64_t>(pool.size())) << c.where;
                        return test::ids_value(r.passing_ids);
                    } catch (const EmptyFiltrationError& e) {
                        diagnostics = e.filter_diagnostics;
                        throw;
                    }
                });
                EXPECT_EQ(got, c.has("error") ? c.str("error") : runtime::repr(c["is"])) << c.where;
                runtime::List seen;
                for (const FilterDiagnostic& d : diagnostics) seen.push_back(Value::list({d.filter_description, d.passing_count, d.function_name}));
                if (c.has("diagnostics")) EXPECT_EQ(runtime::repr(Value::list(seen)), runtime::repr(c["diagnostics"])) << c.where;
            }
        } else {
            SignalPool pool;
            for (const auto& id : c["pool"].as_list()) pool.insert(id.as_str(), UsefulSignal::make({}));
            const std::string got = test::outcome_text([&] {
                const IdSet ids = detail::postprocess_result(OperatorResult{c["result"]}, pool.keys());
                EXPECT_EQ(ids.universe(), pool.index()) << c.where;
                return test::ids_value(ids.sorted());
            });
            EXPECT_EQ(got, c.has("error") ? c.str("error") : runtime::repr(c["is"])) << c.where;
        }
    }
}

TEST(TreeRecordsTest, SingleFormOperatorsRejectOtherForms) {
    const IdSet keys{"a"};
    const Dict params;
    const std::vector<IdSet> children{IdSet{"a"}};
    PreparedField prepared;
    const OperatorCall combinator{CallForm::combinator, &keys, &params, &children, nullptr};
    const OperatorCall field_leaf{CallForm::field_leaf, nullptr, &params, nullptr, &prepared};
    const OperatorCall plain_leaf{CallForm::plain_leaf, &keys, &params, nullptr, nullptr};
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
    EXPECT_THROW(f(plain_leaf), runtime::TypeError);
}

// Signals made without weights share one 0x0 matrix; any other shape is the signal's own.
TEST(TreeRecordsTest, SignalsKeepTheShapeOfTheirWeights) {
    for (const auto& [rows, cols] : std::vector<std::pair<std::size_t, std::size_t>>{{0, 0}, {0, 5}, {3, 0}, {2, 3}}) {
        const UsefulSignal a = UsefulSignal::make(Dict{}, numeric::Matrix(rows, cols, 1.5));
        const UsefulSignal b = UsefulSignal::make(Dict{}, numeric::Matrix(rows, cols, 1.5));
        EXPECT_EQ(a.weights->rows(), rows);
        EXPECT_EQ(a.weights->cols(), cols);
        EXPECT_EQ(a.weights == b.weights, rows == 0 && cols == 0) << rows << "x" << cols;
        for (std::size_t i = 0; i < a.weights->size(); ++i) EXPECT_EQ(a.weights->data()[i], 1.5);
    }
}

}  // namespace
}  // namespace brindlecap::functions::filtrations_evaluation
