#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "brindlecap/functions/filtrations_evaluation/tree/dispatch.hpp"
#include "brindlecap/runtime/errors.hpp"
#include "tree_support.hpp"

namespace brindlecap::functions::filtrations_evaluation {
namespace {

using detail::postprocess_result;
using detail::prepare_and_dispatch;
using detail::preprocess_field;
using testing::make_pool;
using testing::raised;
using testing::str_list;
using Ids = std::vector<std::string>;

const double kNaN = std::numeric_limits<double>::quiet_NaN();

// Records the form it was called in and returns every pool key it was given (or every
// prepared identifier).
struct Recorder {
    int calls = 0;
    CallForm form = CallForm::PlainLeaf;
    std::size_t children = 0;
    Operator op() {
        return [this](const OperatorCall& call) -> OperatorResult {
            ++calls;
            form = call.form;
            if (call.form == CallForm::FieldLeaf) {
                IdSet out = IdSet::over(call.prepared->pool_keys.universe());
                for (const auto& v : call.prepared->values) out.insert_pos(v.pos);
                return out;
            }
            if (call.form == CallForm::Combinator) children = call.children_results->size();
            return *call.pool_keys;
        };
    }
};

SignalPool sample_pool() {
    return make_pool({{"s1", {{"score", 1.5}, {"cat", "x"}}}, {"s2", {{"score", 0.5}}}, {"s3", {{"score", 2}}}});
}

TEST(TreeDispatchTest, PctRange) {
    const SignalPool pool = sample_pool();
    Recorder rec;
    const auto dispatch = [&](Value pct) {
        return prepare_and_dispatch(rec.op(), pool, Dict{{"pct", pct}}, 0, {}, "top_pct");
    };
    EXPECT_EQ(dispatch(1.0).size(), 3u);
    EXPECT_EQ(dispatch(kNaN).size(), 3u);  // NaN fails neither comparison
    EXPECT_EQ(dispatch(true).size(), 3u);  // True compares as 1
    EXPECT_EQ(rec.calls, 3);
    EXPECT_EQ(raised<FilterValidationError>([&] { dispatch(0.0); }), "pct must be in (0.0, 1.0], got 0.0");
    EXPECT_EQ(raised<FilterValidationError>([&] { dispatch(1.0000001); }),
              "pct must be in (0.0, 1.0], got 1.0000001");
    EXPECT_EQ(raised<FilterValidationError>([&] { dispatch(-0.25); }), "pct must be in (0.0, 1.0], got -0.25");
    EXPECT_EQ(raised<FilterValidationError>([&] { dispatch(0); }), "pct must be in (0.0, 1.0], got 0");
    EXPECT_EQ(raised<FilterValidationError>([&] { dispatch(std::numeric_limits<double>::infinity()); }),
              "pct must be in (0.0, 1.0], got inf");
    EXPECT_EQ(raised<runtime::TypeError>([&] { dispatch("0.5"); }),
              "'<=' not supported between instances of 'str' and 'float'");
    EXPECT_EQ(rec.calls, 3);  // rejected calls never reach the operator
}

TEST(TreeDispatchTest, CountAndBounds) {
    const SignalPool pool = sample_pool();
    Recorder rec;
    const auto dispatch = [&](Dict params) { return prepare_and_dispatch(rec.op(), pool, params, 0, {}, "anything"); };
    EXPECT_EQ(raised<FilterValidationError>([&] { dispatch({{"n", 0}}); }), "Count must be >= 1, got 0");
    EXPECT_EQ(raised<FilterValidationError>([&] { dispatch({{"n", 0.5}}); }), "Count must be >= 1, got 0.5");
    EXPECT_EQ(raised<runtime::TypeError>([&] { dispatch({{"n", "3"}}); }),
              "'<' not supported between instances of 'str' and 'int'");
    EXPECT_NO_THROW(dispatch({{"n", 1}}));
    EXPECT_NO_THROW(dispatch({{"n", 1.5}}));

    EXPECT_EQ(raised<FilterValidationError>([&] { dispatch({{"low", 5}, {"high", 3}}); }),
              "between requires low <= high, got 5 > 3");
    EXPECT_EQ(raised<FilterValidationError>([&] { dispatch({{"high", 1}, {"low", 2.5}}); }),
              "between requires low <= high, got 2.5 > 1");
    EXPECT_NO_THROW(dispatch({{"low", 5}}));
    EXPECT_NO_THROW(dispatch({{"high", -5}}));
    EXPECT_NO_THROW(dispatch({{"low", 3}, {"high", 3}}));
    EXPECT_EQ(raised<runtime::TypeError>([&] { dispatch({{"low", "a"}, {"high", 1}}); }),
              "'>' not supported between instances of 'str' and 'int'");
    EXPECT_EQ(rec.calls, 5);
}

TEST(TreeDispatchTest, CallingFormFollowsChildrenThenField) {
    const SignalPool pool = sample_pool();
    Recorder rec;
    const std::vector<IdSet> children{IdSet{"s1"}, IdSet{"s2"}};

    // Children win even when params name a field.
    EXPECT_EQ(prepare_and_dispatch(rec.op(), pool, {{"field", "score"}}, 2, children, "and_").size(), 3u);
    EXPECT_EQ(rec.form, CallForm::Combinator);
    EXPECT_EQ(rec.children, 2u);

    EXPECT_EQ(prepare_and_dispatch(rec.op(), pool, {{"field", "cat"}}, 0, {}, "").sorted(),
              Ids({"s1", "s2", "s3"}));
    EXPECT_EQ(rec.form, CallForm::FieldLeaf);

    EXPECT_EQ(prepare_and_dispatch(rec.op(), pool, {{"value", 1}}, 0, {}, "gt").size(), 3u);
    EXPECT_EQ(rec.form, CallForm::PlainLeaf);
}

TEST(TreeDispatchTest, OperatorErrorsPropagateUnchanged) {
    const SignalPool pool = sample_pool();
    const Operator failing = [](const OperatorCall&) -> OperatorResult { throw runtime::ValueError("bad input"); };
    EXPECT_EQ(raised<runtime::ValueError>([&] { prepare_and_dispatch(failing, pool, {}, 0, {}); }), "bad input");
}

TEST(TreeDispatchTest, ResultIsValidatedAfterTheCall) {
    const SignalPool pool = sample_pool();
    const Operator stray = [](const OperatorCall&) -> OperatorResult { return str_list({"s1", "x9"}); };
    EXPECT_EQ(raised<FiltrationSubsetError>([&] { prepare_and_dispatch(stray, pool, {}, 0, {}); }),
              "Operator returned IDs not in pool: ['x9']");
}

TEST(TreeDispatchTest, PrepareFieldErrors) {
    EXPECT_EQ(raised<EmptyPoolError>([] { preprocess_field(SignalPool{}, {{"field", "x"}}, "gt"); }),
              "No useful signals in pool");

    const SignalPool pool = make_pool({{"s1", {{"b", 1}, {"a", 2}}}, {"s2", {{"c", "x"}}}, {"s3", {{"B", 1}}}});
    EXPECT_EQ(raised<FilterValidationError>([&] { preprocess_field(pool, {{"field", "zz"}}, "gt"); }),
              "Unknown field 'zz'. Valid fields: ['B', 'a', 'b', 'c']");
    EXPECT_EQ(raised<runtime::KeyError>([&] { preprocess_field(pool, {{"value", 1}}, "gt"); }), "'field'");

    // Comparison and rank operators are checked against the field type; others never are.
    EXPECT_EQ(raised<FilterValidationError>([&] { preprocess_field(pool, {{"field", "c"}}, "gt"); }),
              "Operator 'gt' not valid for field 'c' (type categorical)");
    EXPECT_EQ(raised<FilterValidationError>([&] { preprocess_field(pool, {{"field", "c"}}, "top_n"); }),
              "Operator 'top_n' not valid for field 'c' (type categorical)");
    EXPECT_EQ(raised<FilterValidationError>([&] { preprocess_field(pool, {{"field", "a"}}, "in_"); }),
              "Operator 'in_' not valid for field 'a' (type numeric)");
    for (const char* op : {"", "and_", "filtration", "my_operator"}) {
        EXPECT_NO_THROW(preprocess_field(pool, {{"field", "c"}}, op)) << op;
    }
}

TEST(TreeDispatchTest, FieldTypeFromFirstHolder) {
    // The first signal that holds the field decides, whatever later signals hold.
    const SignalPool pool = make_pool({{"s1", {{"other", 1}}},
                                       {"s2", {{"mixed", "text"}, {"submission_date", 1.7e9}}},
                                       {"s3", {{"mixed", 3.0}, {"submission_date", "x"}}}});
    EXPECT_EQ(preprocess_field(pool, {{"field", "mixed"}}, "").field_type, "categorical");
    EXPECT_EQ(raised<FilterValidationError>([&] { preprocess_field(pool, {{"field", "mixed"}}, "gt"); }),
              "Operator 'gt' not valid for field 'mixed' (type categorical)");
    EXPECT_EQ(preprocess_field(pool, {{"field", "submission_date"}}, "gt").field_type, "date");

    const SignalPool counts = make_pool({{"s1", {{"submission_count", 1.7e9}, {"created_timestamp", 5}}}});
    EXPECT_EQ(preprocess_field(counts, {{"field", "submission_count"}}, "").field_type, "numeric");
    EXPECT_EQ(preprocess_field(counts, {{"field", "created_timestamp"}}, "").field_type, "date");
}

TEST(TreeDispatchTest, NumericAndDateFieldsDropNaNAndMissing) {
    for (const char* field : {"score", "submission_date"}) {
        const SignalPool pool = make_pool({{"s1", {{field, 1.5}}},
                                           {"s2", {}},
                                           {"s3", {{field, kNaN}}},
                                           {"s4", {{field, 7}}},
                                           {"s5", {{field, true}}}});
        const PreparedField f = preprocess_field(pool, {{"field", field}}, "gt");
        EXPECT_EQ(f.field_name, field);
        EXPECT_EQ(f.nan_count, 2);
        ASSERT_EQ(f.values.size(), 3u);
        EXPECT_EQ(f.values[0].id, "s1");
        EXPECT_EQ(*f.values[0].value, Value(1.5));
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
    struct Case {
        Value first;
        Value expected_default;
        const char* type;
    };
    const std::vector<Case> cases = {
        {str_list({"r1"}), Value::list({}), "list_str"},
        {"tech", "", "categorical"},
        {true, false, "boolean"},
    };
    for (const auto& c : cases) {
        const SignalPool pool = make_pool({{"s1", {{"f", c.first}}}, {"s2", {}}, {"s3", {{"f", kNaN}}}});
        const PreparedField f = preprocess_field(pool, {{"field", "f"}}, "");
        EXPECT_EQ(f.field_type, c.type);
        EXPECT_EQ(f.nan_count, 0);
        ASSERT_EQ(f.values.size(), 3u) << c.type;
        EXPECT_EQ(f.values[1].id, "s2");
        EXPECT_EQ(*f.values[1].value, c.expected_default) << c.type;
        EXPECT_TRUE(f.values[1].value->kind() == c.expected_default.kind()) << c.type;
        EXPECT_EQ(f.values[1].value, f.missing_default.get());
        EXPECT_TRUE(f.values[2].value->is_nan());  // NaN passes through unchanged
    }
}

TEST(TreeDispatchTest, ResultValuesBecomePoolSets) {
    const SignalPool pool = make_pool({{"a", {}}, {"b", {}}, {"c", {}}});
    const IdSet keys = pool.keys();
    const auto check = [&](Value v) { return postprocess_result(OperatorResult{v}, keys); };

    const IdSet dup = check(str_list({"b", "a", "b", "b"}));
    EXPECT_EQ(dup.size(), 2u);
    EXPECT_EQ(dup.sorted(), Ids({"a", "b"}));
    EXPECT_EQ(dup.universe(), pool.index());
    EXPECT_TRUE(check(Value::list({})).empty());
    EXPECT_EQ(check(Value(Dict{{"c", 1}, {"a", Value()}})).sorted(), Ids({"a", "c"}));
    EXPECT_EQ(check("ab").sorted(), Ids({"a", "b"}));  // a string yields its characters
    EXPECT_EQ(check("").size(), 0u);

    EXPECT_EQ(raised<runtime::TypeError>([&] { check(1); }), "'int' object is not iterable");
    EXPECT_EQ(raised<runtime::TypeError>([&] { check(Value()); }), "'NoneType' object is not iterable");
    EXPECT_EQ(raised<runtime::TypeError>([&] { check(true); }), "'bool' object is not iterable");
}

TEST(TreeDispatchTest, ResultElementsMustBeStrFromThePool) {
    const SignalPool pool = make_pool({{"a", {}}, {"b", {}}, {"x10", {}}});
    const IdSet keys = pool.keys();
    const auto check = [&](Value v) { return postprocess_result(OperatorResult{v}, keys); };

    EXPECT_EQ(raised<FiltrationSubsetError>([&] { check(Value::list({"a", 1})); }),
              "Operator returned non-str element of type int; all elements must be str");
    EXPECT_EQ(raised<FiltrationSubsetError>([&] { check(Value::list({"a", 2.5, 1, true})); }),
              "Operator returned non-str element of type float; all elements must be str");
    EXPECT_EQ(raised<FiltrationSubsetError>([&] { check(Value::list({Value(), "zz"})); }),
              "Operator returned non-str element of type NoneType; all elements must be str");
    // Building the set fails first on an unhashable element.
    EXPECT_EQ(raised<runtime::TypeError>([&] { check(Value::list({1, str_list({"a"})})); }),
              "unhashable type: 'list'");

    EXPECT_EQ(raised<FiltrationSubsetError>([&] { check(str_list({"a", "x9", "b"})); }),
              "Operator returned IDs not in pool: ['x9']");
    EXPECT_EQ(raised<FiltrationSubsetError>([&] { check(str_list({"x9", "a", "c", "x9", "B", "x1"})); }),
              "Operator returned IDs not in pool: ['B', 'c', 'x1', 'x9']");
    EXPECT_EQ(raised<FiltrationSubsetError>([&] { check("ax"); }), "Operator returned IDs not in pool: ['x']");
}

TEST(TreeDispatchTest, ResultSetsAreCheckedAgainstThePool) {
    const SignalPool pool = make_pool({{"a", {}}, {"b", {}}, {"c", {}}});
    const IdSet keys = pool.keys();

    IdSet own = IdSet::over(pool.index());
    own.insert("b");
    const IdSet kept = postprocess_result(own, keys);
    EXPECT_EQ(kept.sorted(), Ids({"b"}));
    EXPECT_EQ(kept.universe(), pool.index());

    // Sets built without the pool's index are re-expressed over it.
    const IdSet rebased = postprocess_result(IdSet{"c", "a"}, keys);
    EXPECT_EQ(rebased.universe(), pool.index());
    EXPECT_TRUE(rebased.others().empty());
    EXPECT_EQ(rebased.sorted(), Ids({"a", "c"}));

    IdSet stray = IdSet::over(pool.index());
    stray.insert("a");
    stray.insert("zz");
    stray.insert("x9");
    EXPECT_EQ(raised<FiltrationSubsetError>([&] { postprocess_result(stray, keys); }),
              "Operator returned IDs not in pool: ['x9', 'zz']");

    // Pool keys that are only part of their universe.
    IdSet part = IdSet::over(pool.index());
    part.insert("a");
    EXPECT_EQ(raised<FiltrationSubsetError>([&] { postprocess_result(IdSet::all_of(pool.index()), part); }),
              "Operator returned IDs not in pool: ['b', 'c']");
    EXPECT_EQ(raised<FiltrationSubsetError>([&] { postprocess_result(OperatorResult{str_list({"a", "c"})}, part); }),
              "Operator returned IDs not in pool: ['c']");
}

}  // namespace
}  // namespace brindlecap::functions::filtrations_evaluation
