#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "brindlecap/functions/filtrations_evaluation/tree/dispatch_internal.hpp"
#include "brindlecap/runtime/errors.hpp"
#include "tree_support.hpp"

namespace brindlecap::functions::filtrations_evaluation {
namespace {

using detail::postprocess_result;
using detail::prepare_and_dispatch;
using detail::preprocess_field;
using testing::make_pool;
using testing::raised;
using Ids = std::vector<std::string>;

const double kNaN = std::numeric_limits<double>::quiet_NaN();

// Records the form it was called in and returns every pool key (or every prepared identifier).
struct Recorder {
    int calls = 0;
    CallForm form = CallForm::plain_leaf;
    std::size_t children = 0;
    Operator op() {
        return [this](const OperatorCall& call) -> OperatorResult {
            ++calls;
            form = call.form;
            if (call.form == CallForm::field_leaf) {
                IdSet out = IdSet::over(call.prepared->pool_keys.universe());
                for (const auto& v : call.prepared->values) out.insert_pos(v.pos);
                return out;
            }
            if (call.form == CallForm::combinator) children = call.children_results->size();
            return *call.pool_keys;
        };
    }
};

SignalPool sample_pool() {
    return make_pool({{"s1", {{"score", 1.5}, {"cat", "x"}}}, {"s2", {{"score", 0.5}}}, {"s3", {{"score", 2}}}});
}

TEST(TreeDispatchTest, ParameterChecksRunBeforeTheOperator) {
    const SignalPool pool = sample_pool();
    Recorder rec;
    const auto dispatch = [&](Dict params, std::string name = "anything") {
        return prepare_and_dispatch(rec.op(), pool, params, 0, {}, name);
    };
    // NaN fails neither pct comparison; True compares as 1; n and bounds may be fractional or partial.
    for (const Dict& ok : {Dict{{"pct", 1.0}}, Dict{{"pct", kNaN}}, Dict{{"pct", true}}, Dict{{"n", 1.5}},
                           Dict{{"low", 5}}, Dict{{"high", -5}}, Dict{{"low", 3}, {"high", 3}}}) {
        EXPECT_EQ(dispatch(ok, "top_pct").size(), 3u) << runtime::repr(Value(ok));
    }
    const std::vector<std::pair<Dict, std::string>> invalid = {
        {{{"pct", 0.0}}, "pct must be in (0.0, 1.0], got 0.0"},
        {{{"pct", INFINITY}}, "pct must be in (0.0, 1.0], got inf"},
        {{{"n", 0}}, "Count must be >= 1, got 0"},
        {{{"low", 5}, {"high", 3}}, "between requires low <= high, got 5 > 3"},
    };
    for (const auto& [params, message] : invalid) EXPECT_EQ(raised<FilterValidationError>([&] { dispatch(params); }), message);
    EXPECT_EQ(raised<runtime::TypeError>([&] { dispatch({{"pct", "0.5"}}); }),
              "'<=' not supported between instances of 'str' and 'float'");
    EXPECT_EQ(rec.calls, 7);  // rejected calls never reach the operator
}

TEST(TreeDispatchTest, CallingFormFollowsChildrenThenField) {
    const SignalPool pool = sample_pool();
    Recorder rec;
    // Children win even when params name a field.
    EXPECT_EQ(prepare_and_dispatch(rec.op(), pool, {{"field", "score"}}, 2, {IdSet{"s1"}, IdSet{"s2"}}, "and_").size(), 3u);
    EXPECT_EQ(rec.form, CallForm::combinator);
    EXPECT_EQ(rec.children, 2u);
    EXPECT_EQ(prepare_and_dispatch(rec.op(), pool, {{"field", "cat"}}, 0, {}, "").sorted(), Ids({"s1", "s2", "s3"}));
    EXPECT_EQ(rec.form, CallForm::field_leaf);
    prepare_and_dispatch(rec.op(), pool, {{"value", 1}}, 0, {}, "gt");
    EXPECT_EQ(rec.form, CallForm::plain_leaf);

    // Operator errors propagate unchanged; results are validated after the call.
    const Operator failing = [](const OperatorCall&) -> OperatorResult { throw runtime::ValueError("bad input"); };
    EXPECT_EQ(raised<runtime::ValueError>([&] { prepare_and_dispatch(failing, pool, {}, 0, {}); }), "bad input");
    const Operator stray = [](const OperatorCall&) -> OperatorResult { return Value::list({"s1", "x9"}); };
    EXPECT_EQ(raised<FiltrationSubsetError>([&] { prepare_and_dispatch(stray, pool, {}, 0, {}); }),
              "Operator returned IDs not in pool: ['x9']");
}

TEST(TreeDispatchTest, PrepareFieldErrorsAndTypeFromTheFirstHolder) {
    EXPECT_EQ(raised<EmptyPoolError>([] { preprocess_field(SignalPool{}, {{"field", "x"}}, "gt"); }),
              "No useful signals in pool");
    const SignalPool pool = make_pool({{"s1", {{"b", 1}, {"a", 2}}}, {"s2", {{"c", "x"}, {"d", 3.0}}}, {"s3", {{"B", 1}, {"d", "y"}}}});
    const auto fails = [&](const char* field, const char* op) {
        return raised<FilterValidationError>([&] { preprocess_field(pool, {{"field", field}}, op); });
    };
    EXPECT_EQ(fails("zz", "gt"), "Unknown field 'zz'. Valid fields: ['B', 'a', 'b', 'c', 'd']");
    EXPECT_EQ(raised<runtime::KeyError>([&] { preprocess_field(pool, {{"value", 1}}, "gt"); }), "'field'");
    // Comparison and rank operators are checked against the field type; others never are.
    EXPECT_EQ(fails("c", "gt"), "Operator 'gt' not valid for field 'c' (type categorical)");
    EXPECT_EQ(fails("c", "top_n"), "Operator 'top_n' not valid for field 'c' (type categorical)");
    EXPECT_EQ(fails("a", "in_"), "Operator 'in_' not valid for field 'a' (type numeric)");
    for (const char* op : {"", "and_", "filtration", "my_operator"}) EXPECT_NO_THROW(preprocess_field(pool, {{"field", "c"}}, op));
    // The first signal holding the field decides ("d" is 3.0 there, a string later).
    EXPECT_EQ(preprocess_field(pool, {{"field", "d"}}, "gt").field_type, FieldType::numeric);

    // With the date refinement (its rules: TreeRecordsTest.FieldTypeInference).
    const SignalPool dates = make_pool({{"s1", {{"submission_date", 1.7e9}}}});
    EXPECT_EQ(preprocess_field(dates, {{"field", "submission_date"}}, "gt").field_type, FieldType::date);
}

TEST(TreeDispatchTest, NumericAndDateFieldsDropNaNAndMissing) {
    for (const char* field : {"score", "submission_date"}) {
        const SignalPool pool = make_pool(
            {{"s1", {{field, 1.5}}}, {"s2", {}}, {"s3", {{field, kNaN}}}, {"s4", {{field, 7}}}, {"s5", {{field, true}}}});
        const PreparedField f = preprocess_field(pool, {{"field", field}}, "gt");
        EXPECT_EQ(f.field_name, field);
        EXPECT_EQ(f.nan_count, 2);
        ASSERT_EQ(f.values.size(), 3u);
        EXPECT_EQ(f.values[1].id, "s4");
        EXPECT_EQ(f.values[1].pos, 3u);
        EXPECT_TRUE(f.values[1].value->is_int());
        EXPECT_TRUE(f.values[2].value->is_bool());
        // Values point into the pool's metadata.
        EXPECT_EQ(f.values[0].value, pool.signal(0).metadata->find(std::string_view(field)));
        EXPECT_EQ(f.pool_keys.sorted(), Ids({"s1", "s2", "s3", "s4", "s5"}));
        EXPECT_EQ(f.pool_keys.universe(), pool.index());
    }
}

TEST(TreeDispatchTest, OtherFieldTypesFillMissingWithDefaults) {
    const std::vector<std::tuple<Value, Value, const char*>> cases = {
        {Value::list({"r1"}), Value::list({}), "list_str"}, {"tech", "", "categorical"}, {Value(true), Value(false), "boolean"}};
    for (const auto& [first, expected_default, type] : cases) {
        const SignalPool pool = make_pool({{"s1", {{"f", first}}}, {"s2", {}}, {"s3", {{"f", kNaN}}}});
        const PreparedField f = preprocess_field(pool, {{"field", "f"}}, "");
        EXPECT_EQ(to_string(f.field_type), type);
        EXPECT_EQ(f.nan_count, 0);
        ASSERT_EQ(f.values.size(), 3u) << type;
        EXPECT_EQ(*f.values[1].value, expected_default) << type;
        EXPECT_EQ(f.values[1].value->kind(), expected_default.kind()) << type;
        EXPECT_EQ(f.values[1].value, f.missing_default.get());
        EXPECT_TRUE(f.values[2].value->is_nan());  // NaN passes through unchanged
    }
}

// Returned values of other kinds: tests/data/cases/tree.jsonl.
TEST(TreeDispatchTest, ForeignSetsAreReexpressedOverThePool) {
    const SignalPool pool = make_pool({{"a", {}}, {"b", {}}, {"c", {}}});
    const IdSet keys = pool.keys();
    // Sets built without the pool's index are re-expressed over it; foreign members are sorted.
    const IdSet rebased = postprocess_result(IdSet{"c", "a"}, keys);
    EXPECT_EQ(rebased.universe(), pool.index());
    EXPECT_TRUE(rebased.others().empty());
    IdSet stray = IdSet::over(pool.index());
    for (const char* id : {"a", "zz", "x9"}) stray.insert(id);
    EXPECT_EQ(raised<FiltrationSubsetError>([&] { postprocess_result(stray, keys); }),
              "Operator returned IDs not in pool: ['x9', 'zz']");
    // Pool keys that are only part of their universe.
    IdSet part = IdSet::over(pool.index());
    part.insert("a");
    EXPECT_EQ(raised<FiltrationSubsetError>([&] { postprocess_result(IdSet::all_of(pool.index()), part); }),
              "Operator returned IDs not in pool: ['b', 'c']");
}

}  // namespace
}  // namespace brindlecap::functions::filtrations_evaluation
