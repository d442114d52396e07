#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "brindlecap/functions/filtrations/builtin_runtime_targets.hpp"
#include "brindlecap/functions/filtrations_evaluation/tree/records.hpp"
#include "brindlecap/functions/filtrations_evaluation/tree/resolve.hpp"
#include "brindlecap/functions/registry_and_store/store.hpp"
#include "brindlecap/runtime/errors.hpp"

namespace {

using namespace brindlecap::functions;
using filtrations_evaluation::CallForm;
using filtrations_evaluation::Dict;
using filtrations_evaluation::FilterValidationError;
using filtrations_evaluation::IdSet;
using filtrations_evaluation::KeyIndex;
using filtrations_evaluation::Operator;
using filtrations_evaluation::OperatorCall;
using filtrations_evaluation::PreparedField;
using filtrations_evaluation::PreparedValue;
using filtrations_evaluation::Value;
using Ids = std::vector<std::string>;

const double NaN = std::numeric_limits<double>::quiet_NaN();
const double Inf = std::numeric_limits<double>::infinity();

std::string module_of(const std::string& name) {
    static const std::vector<std::string> comparison = {"gt", "gte", "lt", "lte", "eq", "neq", "between", "in_"};
    static const std::vector<std::string> rank = {"top_pct", "bottom_pct", "top_n", "bottom_n"};
    static const std::vector<std::string> boolean = {"and_", "or_", "not_"};
    auto in = [&](const std::vector<std::string>& v) { return std::find(v.begin(), v.end(), name) != v.end(); };
    if (in(comparison)) return std::string(filtrations::COMPARISON_MODULE);
    if (in(rank)) return std::string(filtrations::RANK_MODULE);
    if (in(boolean)) return std::string(filtrations::BOOLEAN_MODULE);
    return std::string(filtrations::WRAPPER_MODULE);
}

Operator builtin(const std::string& name) {
    return filtrations::resolve_builtin_filtration_target(module_of(name), "_builtin_" + name);
}

// A prepared field built by hand: a pool of `ids` (every key) of which `rows` carry values.
class Field {
public:
    explicit Field(std::vector<std::pair<std::string, Value>> rows, Ids extra_keys = {},
                   bool with_universe = true) {
        auto index = std::make_shared<KeyIndex>();
        storage_.reserve(rows.size());
        for (auto& [id, value] : rows) {
            const std::uint32_t pos = index->add(id);
            storage_.push_back(std::move(value));
            prepared.values.push_back(PreparedValue{index->id(pos), &storage_.back(), pos});
        }
        for (auto& id : extra_keys) index->add(id);
        prepared.field_name = "f";
        prepared.field_type = "numeric";
        if (with_universe) {
            prepared.pool_keys = IdSet::all_of(index);
        } else {
            // No key index: the operators fall back to inserting identifiers.
            for (std::size_t i = 0; i < index->size(); ++i) prepared.pool_keys.insert(index->id(i));
        }
        index_ = index;
    }

    Field(const Field&) = delete;
    Field& operator=(const Field&) = delete;

    PreparedField prepared;

private:
    std::shared_ptr<KeyIndex> index_;
    std::vector<Value> storage_;
};

Ids as_ids(const filtrations_evaluation::OperatorResult& r) { return std::get<IdSet>(r).sorted(); }

Ids call_field(const std::string& name, const Field& field, const Dict& params) {
    OperatorCall call{CallForm::FieldLeaf, nullptr, &params, nullptr, &field.prepared};
    return as_ids(builtin(name)(call));
}

Ids call_children(const std::string& name, const IdSet& pool_keys, const std::vector<IdSet>& children,
                  const Dict& params = {}) {
    OperatorCall call{CallForm::Combinator, &pool_keys, &params, &children, nullptr};
    return as_ids(builtin(name)(call));
}

Ids call_plain(const std::string& name, const IdSet& pool_keys, const Dict& params = {}) {
    OperatorCall call{CallForm::PlainLeaf, &pool_keys, &params, nullptr, nullptr};
    return as_ids(builtin(name)(call));
}

template <class Error, class F>
void expect_error(F&& f, const std::string& message) {
    try {
        f();
        ADD_FAILURE() << "no error, expected: " << message;
    } catch (const Error& e) {
        EXPECT_EQ(e.message(), message);
    }
}

// Values 0..n-1 under ids s00..s(n-1).
Field numbered(int n) {
    std::vector<std::pair<std::string, Value>> rows;
    for (int i = 0; i < n; ++i) rows.emplace_back((i < 10 ? "s0" : "s") + std::to_string(i), Value(double(i)));
    return Field(std::move(rows));
}

// ---- Ordered comparisons ---------------------------------------------------------------------

TEST(BuiltinOrdered, MixedIntAndFloatValuesAgainstNumericTargets) {
    Field f({{"a", 1}, {"b", 2.5}, {"c", 3}, {"d", -1.0}, {"e", true}});
    EXPECT_EQ(call_field("gt", f, {{"field", "f"}, {"value", 1}}), (Ids{"b", "c"}));
    EXPECT_EQ(call_field("gte", f, {{"field", "f"}, {"value", 1.0}}), (Ids{"a", "b", "c", "e"}));
    EXPECT_EQ(call_field("lt", f, {{"field", "f"}, {"value", 2.5}}), (Ids{"a", "d", "e"}));
    EXPECT_EQ(call_field("lte", f, {{"field", "f"}, {"value", 3}}), (Ids{"a", "b", "c", "d", "e"}));
    EXPECT_EQ(call_field("gt", f, {{"field", "f"}, {"value", NaN}}), Ids{});
    EXPECT_EQ(call_field("lte", f, {{"field", "f"}, {"value", true}}), (Ids{"a", "d", "e"}));
}

TEST(BuiltinOrdered, LargeIntegersCompareExactly) {
    const long long big = (1LL << 53) + 1;
    Field f({{"a", big}, {"b", big - 1}});
    EXPECT_EQ(call_field("gt", f, {{"field", "f"}, {"value", big - 1}}), Ids{"a"});
    EXPECT_EQ(call_field("gte", f, {{"field", "f"}, {"value", big}}), Ids{"a"});
}

TEST(BuiltinOrdered, StringsCompareLexicographically) {
    Field f({{"a", "apple"}, {"b", "banana"}, {"c", "Cherry"}, {"d", "b"}});
    EXPECT_EQ(call_field("gt", f, {{"field", "f"}, {"value", "b"}}), Ids{"b"});
    EXPECT_EQ(call_field("gte", f, {{"field", "f"}, {"value", "b"}}), (Ids{"b", "d"}));
    EXPECT_EQ(call_field("lt", f, {{"field", "f"}, {"value", "apple"}}), Ids{"c"});
}

TEST(BuiltinOrdered, IncomparableKindsRaiseTheHostTypeError) {
    Field f({{"a", 1.0}, {"b", "x"}});
    expect_error<brindlecap::runtime::TypeError>(
        [&] { call_field("gt", f, {{"field", "f"}, {"value", 0.0}}); },
        "'>' not supported between instances of 'str' and 'float'");
    Field none({{"a", Value()}});
    EXPECT_THROW(call_field("lt", none, {{"field", "f"}, {"value", 0.0}}), brindlecap::runtime::TypeError);
}

TEST(BuiltinOrdered, EmptyValuesSelectNothing) {
    Field f({}, {"a", "b"});
    for (const char* op : {"gt", "gte", "lt", "lte", "eq", "neq"}) {
        EXPECT_EQ(call_field(op, f, {{"field", "f"}, {"value", 0.0}}), Ids{}) << op;
    }
}

// ---- Equality ----------------------------------------------------------------------------------

TEST(BuiltinEquality, ToleranceIsStrictlyBelowOneTrillionth) {
    Field f({{"zero", 0.0}, {"near", 1e-13}, {"edge", -1e-12}, {"far", 0.5}});
    EXPECT_EQ(call_field("eq", f, {{"field", "f"}, {"value", 0.0}}), (Ids{"near", "zero"}));
    EXPECT_EQ(call_field("neq", f, {{"field", "f"}, {"value", 0.0}}), (Ids{"edge", "far"}));
    Field ints({{"a", 2}, {"b", 3}});
    EXPECT_EQ(call_field("eq", ints, {{"field", "f"}, {"value", 2.0}}), Ids{"a"});
    EXPECT_EQ(call_field("neq", ints, {{"field", "f"}, {"value", 2.0}}), Ids{"b"});
}

TEST(BuiltinEquality, BooleansOnlyEqualBooleans) {
    Field bools({{"t", true}, {"f", false}});
    EXPECT_EQ(call_field("eq", bools, {{"field", "f"}, {"value", 1}}), Ids{});
    EXPECT_EQ(call_field("neq", bools, {{"field", "f"}, {"value", 1}}), Ids{});
    EXPECT_EQ(call_field("eq", bools, {{"field", "f"}, {"value", true}}), Ids{"t"});
    EXPECT_EQ(call_field("neq", bools, {{"field", "f"}, {"value", true}}), Ids{"f"});
    // A numeric actual converts a boolean target to 1.0 / 0.0.
    Field nums({{"one", 1}, {"zero", 0.0}});
    EXPECT_EQ(call_field("eq", nums, {{"field", "f"}, {"value", true}}), Ids{"one"});
    EXPECT_EQ(call_field("neq", nums, {{"field", "f"}, {"value", true}}), Ids{"zero"});
}

TEST(BuiltinEquality, NanListsAndNonePassNeither) {
    Field f({{"nan", NaN}, {"list", Value::list({"a"})}, {"none", Value()}, {"one", 1.0}});
    EXPECT_EQ(call_field("eq", f, {{"field", "f"}, {"value", 1.0}}), Ids{"one"});
    EXPECT_EQ(call_field("neq", f, {{"field", "f"}, {"value", 2.0}}), Ids{"one"});
    EXPECT_EQ(call_field("neq", f, {{"field", "f"}, {"value", NaN}}), Ids{});
    EXPECT_EQ(call_field("eq", f, {{"field", "f"}, {"value", NaN}}), Ids{});
}

TEST(BuiltinEquality, StringsAreExactAndCaseSensitive) {
    Field f({{"a", "momentum"}, {"b", "Momentum"}, {"c", ""}});
    EXPECT_EQ(call_field("eq", f, {{"field", "f"}, {"value", "momentum"}}), Ids{"a"});
    EXPECT_EQ(call_field("neq", f, {{"field", "f"}, {"value", "momentum"}}), (Ids{"b", "c"}));
    // A non-string target never equals a string, so it differs from every one.
    EXPECT_EQ(call_field("eq", f, {{"field", "f"}, {"value", 0.0}}), Ids{});
    EXPECT_EQ(call_field("neq", f, {{"field", "f"}, {"value", 0.0}}), (Ids{"a", "b", "c"}));
}

TEST(BuiltinEquality, UnconvertibleTargetFailsOnlyAgainstNumbers) {
    Field nums({{"a", 1.0}});
    EXPECT_THROW(call_field("eq", nums, {{"field", "f"}, {"value", Value()}}), brindlecap::runtime::TypeError);
    EXPECT_THROW(call_field("neq", nums, {{"field", "f"}, {"value", Value::list({})}}),
                 brindlecap::runtime::TypeError);
    Field strs({{"a", "x"}, {"n", NaN}});
    EXPECT_EQ(call_field("eq", strs, {{"field", "f"}, {"value", Value()}}), Ids{});
}

// ---- between -----------------------------------------------------------------------------------

TEST(BuiltinBetween, BothEndsInclusive) {
    Field f = numbered(6);
    EXPECT_EQ(call_field("between", f, {{"field", "f"}, {"low", 1}, {"high", 3.0}}), (Ids{"s01", "s02", "s03"}));
    EXPECT_EQ(call_field("between", f, {{"field", "f"}, {"low", 2.0}, {"high", 2.0}}), Ids{"s02"});
    EXPECT_EQ(call_field("between", f, {{"field", "f"}, {"low", 2.5}, {"high", 2.5}}), Ids{});
    Field s({{"a", "b"}, {"b", "bz"}, {"c", "c"}, {"d", "a"}});
    EXPECT_EQ(call_field("between", s, {{"field", "f"}, {"low", "b"}, {"high", "c"}}), (Ids{"a", "b", "c"}));
}

TEST(BuiltinBetween, ChainStopsAtTheFirstFailedBound) {
    // 1.0 < low fails first, so the incomparable high bound is never consulted for it.
    Field f({{"a", 1.0}});
    EXPECT_EQ(call_field("between", f, {{"field", "f"}, {"low", 2.0}, {"high", "z"}}), Ids{});
    Field g({{"a", 3.0}});
    EXPECT_THROW(call_field("between", g, {{"field", "f"}, {"low", 2.0}, {"high", "z"}}),
                 brindlecap::runtime::TypeError);
}

// ---- in_ ---------------------------------------------------------------------------------------

TEST(BuiltinIn, ListsMatchByAnySharedElementScalarsByMembership) {
    Field f({{"both", Value::list({"latitudinal", "numerical"})},
             {"event", Value::list({"event"})},
             {"empty", Value::list({})},
             {"scalar", "numerical"},
             {"other", "value"}});
    EXPECT_EQ(call_field("in_", f, {{"field", "f"}, {"values", Value::list({"numerical"})}}),
              (Ids{"both", "scalar"}));
    EXPECT_EQ(call_field("in_", f, {{"field", "f"}, {"values", Value::list({"event", "value"})}}),
              (Ids{"event", "other"}));
    EXPECT_EQ(call_field("in_", f, {{"field", "f"}}), Ids{});
    EXPECT_EQ(call_field("in_", f, {{"field", "f"}, {"values", Value::list({})}}), Ids{});
}

TEST(BuiltinIn, NonStringMembersUseHostEquality) {
    Field f({{"int", 1}, {"float", 2.0}, {"bool", true}, {"none", Value()}, {"str", "1"}});
    EXPECT_EQ(call_field("in_", f, {{"field", "f"}, {"values", Value::list({1.0, 2})}}),
              (Ids{"bool", "float", "int"}));
    EXPECT_EQ(call_field("in_", f, {{"field", "f"}, {"values", Value::list({Value()})}}), Ids{"none"});
}

TEST(BuiltinIn, ManyTargetsGiveTheSameAnswerAsFew) {
    Field f({{"a", "t3"}, {"b", Value::list({"x", "t11"})}, {"c", "zz"}, {"d", 7}});
    brindlecap::runtime::List many;
    for (int i = 0; i < 20; ++i) many.push_back(Value("t" + std::to_string(i)));
    for (int i = 0; i < 20; ++i) many.push_back(Value(100 + i));
    many.push_back(Value(7.0));
    EXPECT_EQ(call_field("in_", f, {{"field", "f"}, {"values", Value::list(many)}}), (Ids{"a", "b", "d"}));
}

// ---- Rank ------------------------------------------------------------------------------------

TEST(BuiltinRank, TiesAtTheCutoffAreIncluded) {
    // 9, 8, 7, 6 then four values tied at 5 in the fifth place.
    Field f({{"a", 9.0}, {"b", 8.0}, {"c", 7}, {"d", 6.0}, {"e", 5.0}, {"f", 5}, {"g", 5.0}, {"h", 5.0},
             {"i", 4.0}, {"j", -1.0}});
    EXPECT_EQ(call_field("top_n", f, {{"field", "f"}, {"n", 5}}).size(), 8u);
    EXPECT_EQ(call_field("top_n", f, {{"field", "f"}, {"n", 1}}), Ids{"a"});
    EXPECT_EQ(call_field("bottom_n", f, {{"field", "f"}, {"n", 2}}), (Ids{"i", "j"}));
    EXPECT_EQ(call_field("bottom_n", f, {{"field", "f"}, {"n", 3}}), (Ids{"e", "f", "g", "h", "i", "j"}));
    Field low_tie({{"a", 1.0}, {"b", 1.0}, {"c", 2.0}});
    EXPECT_EQ(call_field("bottom_n", low_tie, {{"field", "f"}, {"n", 1}}), (Ids{"a", "b"}));
}

TEST(BuiltinRank, PercentageTakesTheCeilingAndAtLeastOnePosition) {
    Field f = numbered(25);  // 0 .. 24
    EXPECT_EQ(call_field("top_pct", f, {{"field", "f"}, {"pct", 0.1}}), (Ids{"s22", "s23", "s24"}));
    EXPECT_EQ(call_field("bottom_pct", f, {{"field", "f"}, {"pct", 0.1}}), (Ids{"s00", "s01", "s02"}));
    EXPECT_EQ(call_field("top_pct", f, {{"field", "f"}, {"pct", 0.01}}), Ids{"s24"});
    EXPECT_EQ(call_field("top_pct", f, {{"field", "f"}, {"pct", 1.0}}).size(), 25u);
    // A tie with the third value joins the selection.
    std::vector<std::pair<std::string, Value>> rows;
    for (int i = 0; i < 24; ++i) rows.emplace_back("v" + std::to_string(100 + i), Value(double(i)));
    rows.emplace_back("tied", Value(21.0));
    Field tied(std::move(rows));
    EXPECT_EQ(call_field("top_pct", tied, {{"field", "f"}, {"pct", 0.1}}), (Ids{"tied", "v121", "v122", "v123"}));
}

TEST(BuiltinRank, CountsBeyondTheValuesSelectAll) {
    Field f = numbered(3);
    EXPECT_EQ(call_field("top_n", f, {{"field", "f"}, {"n", 100}}).size(), 3u);
    EXPECT_EQ(call_field("bottom_n", f, {{"field", "f"}, {"n", Inf}}).size(), 3u);
    EXPECT_EQ(call_field("top_n", f, {{"field", "f"}, {"n", 1LL << 62}}).size(), 3u);
    EXPECT_EQ(call_field("top_n", f, {{"field", "f"}, {"n", 2.7}}), (Ids{"s01", "s02"}));
    // Only pct counts when both are given.
    EXPECT_EQ(call_field("top_n", f, {{"field", "f"}, {"n", 3}, {"pct", 0.3}}), Ids{"s02"});
}

TEST(BuiltinRank, NoValuesSelectNothing) {
    Field f({}, {"a", "b"});
    for (const char* op : {"top_n", "bottom_n"}) EXPECT_EQ(call_field(op, f, {{"field", "f"}, {"n", 3}}), Ids{});
    for (const char* op : {"top_pct", "bottom_pct"}) {
        EXPECT_EQ(call_field(op, f, {{"field", "f"}, {"pct", 0.5}}), Ids{});
    }
}

TEST(BuiltinRank, NanValuesAreNeverRanked) {
    Field f({{"a", NaN}, {"b", 1.0}, {"c", 2.0}});
    EXPECT_EQ(call_field("top_n", f, {{"field", "f"}, {"n", 1}}), Ids{"c"});
    EXPECT_EQ(call_field("bottom_n", f, {{"field", "f"}, {"n", 5}}), (Ids{"b", "c"}));
}

TEST(BuiltinRank, NonNumericValuesRankByHostOrdering) {
    Field s({{"a", "apple"}, {"b", "cherry"}, {"c", "banana"}});
    EXPECT_EQ(call_field("top_n", s, {{"field", "f"}, {"n", 1}}), Ids{"b"});
    EXPECT_EQ(call_field("bottom_n", s, {{"field", "f"}, {"n", 2}}), (Ids{"a", "c"}));
    Field mixed({{"a", 1.0}, {"b", "x"}, {"c", 2.0}});
    EXPECT_THROW(call_field("top_n", mixed, {{"field", "f"}, {"n", 1}}), brindlecap::runtime::TypeError);
}

TEST(BuiltinRank, InvalidSizesRaiseClearErrors) {
    Field f = numbered(4);
    Field empty({});
    for (const Field* field : {&f, &empty}) {
        expect_error<FilterValidationError>([&] { call_field("top_pct", *field, {{"field", "f"}, {"pct", NaN}}); },
                                            "pct must be in (0.0, 1.0], got nan");
        expect_error<FilterValidationError>([&] { call_field("bottom_n", *field, {{"field", "f"}, {"n", NaN}}); },
                                            "Count must be >= 1, got nan");
    }
    expect_error<FilterValidationError>([&] { call_field("top_n", f, {{"field", "f"}}); },
                                        "Operator 'top_n' requires an 'n' parameter");
    expect_error<FilterValidationError>([&] { call_field("bottom_pct", f, {{"field", "f"}, {"pct", Value()}}); },
                                        "Operator 'bottom_pct' requires a 'pct' parameter");
    expect_error<FilterValidationError>([&] { call_field("top_n", f, {{"field", "f"}, {"n", "3"}}); },
                                        "Operator 'top_n' requires a numeric 'n', got str");
}

// ---- Parameter and form errors -----------------------------------------------------------------

TEST(BuiltinLeafErrors, MissingParametersAreNamed) {
    Field f = numbered(2);
    for (const char* op : {"gt", "gte", "lt", "lte", "eq", "neq"}) {
        expect_error<FilterValidationError>([&] { call_field(op, f, {{"field", "f"}}); },
                                            std::string("Operator '") + op + "' requires a 'value' parameter");
    }
    for (const Dict& params : {Dict{{"field", "f"}, {"low", 1}}, Dict{{"field", "f"}, {"high", 1}}, Dict{{"field", "f"}}}) {
        expect_error<FilterValidationError>([&] { call_field("between", f, params); },
                                            "Operator 'between' requires 'low' and 'high' parameters");
    }
    expect_error<FilterValidationError>([&] { call_field("in_", f, {{"field", "f"}, {"values", "numerical"}}); },
                                        "Operator 'in_' requires 'values' to be a list, got str");
    expect_error<FilterValidationError>([&] { call_field("in_", f, {{"field", "f"}, {"values", Value()}}); },
                                        "Operator 'in_' requires 'values' to be a list, got NoneType");
}

TEST(BuiltinLeafErrors, LeafOperatorsRefuseTheOtherForms) {
    Field f = numbered(2);
    const IdSet& keys = f.prepared.pool_keys;
    for (const char* op : {"gt", "gte", "lt", "lte", "eq", "neq", "between", "in_", "top_pct", "bottom_pct",
                           "top_n", "bottom_n"}) {
        expect_error<FilterValidationError>([&] { call_plain(op, keys, {{"value", 1}}); },
                                            std::string("Operator '") + op + "' requires a 'field' parameter");
        expect_error<FilterValidationError>([&] { call_children(op, keys, {keys}, {{"field", "f"}}); },
                                            std::string("Operator '") + op + "' does not accept children");
    }
}

TEST(BuiltinLeafErrors, FieldWithoutKeyIndexStillSelectsByIdentifier) {
    Field f({{"a", 1.0}, {"b", 2.0}, {"c", 3.0}}, {}, /*with_universe=*/false);
    EXPECT_EQ(call_field("gt", f, {{"field", "f"}, {"value", 1.5}}), (Ids{"b", "c"}));
    EXPECT_EQ(call_field("top_n", f, {{"field", "f"}, {"n", 1}}), Ids{"c"});
}

// ---- Combinators and the wrapper ---------------------------------------------------------------

class BuiltinCombinators : public ::testing::Test {
protected:
    Field pool{{}, {"a", "b", "c", "d", "e"}};
    const IdSet& keys = pool.prepared.pool_keys;
    IdSet subset(std::initializer_list<const char*> ids) {
        IdSet s = IdSet::over(keys.universe());
        for (const char* id : ids) s.insert(id);
        return s;
    }
};

TEST_F(BuiltinCombinators, SetAlgebra) {
    const IdSet x = subset({"a", "b", "c"}), y = subset({"b", "c", "d"}), z = subset({"c", "d", "e"});
    EXPECT_EQ(call_children("and_", keys, {x, y, z}), Ids{"c"});
    EXPECT_EQ(call_children("and_", keys, {x}), (Ids{"a", "b", "c"}));
    EXPECT_EQ(call_children("or_", keys, {x, z}), (Ids{"a", "b", "c", "d", "e"}));
    EXPECT_EQ(call_children("or_", keys, {subset({}), subset({"e"})}), Ids{"e"});
    EXPECT_EQ(call_children("not_", keys, {x}), (Ids{"d", "e"}));
    EXPECT_EQ(call_children("not_", keys, {subset({})}).size(), 5u);
    EXPECT_EQ(call_children("filtration", keys, {x, y}), (Ids{"b", "c"}));
}

TEST_F(BuiltinCombinators, ChildCountErrors) {
    const IdSet x = subset({"a"});
    for (const char* op : {"and_", "or_"}) {
        const std::string message = std::string("Operator '") + op + "' requires at least one child";
        expect_error<FilterValidationError>([&] { call_children(op, keys, {}); }, message);
        expect_error<FilterValidationError>([&] { call_plain(op, keys); }, message);
    }
    expect_error<FilterValidationError>([&] { call_children("not_", keys, {x, x}); },
                                        "Operator 'not_' requires exactly one child, got 2");
    expect_error<FilterValidationError>([&] { call_plain("not_", keys); },
                                        "Operator 'not_' requires exactly one child, got 0");
}

TEST_F(BuiltinCombinators, FiltrationWithoutChildrenNeedsSelectAll) {
    EXPECT_EQ(call_plain("filtration", keys, {{"select_all", true}}).size(), 5u);
    EXPECT_EQ(call_field("filtration", pool, {{"field", "f"}, {"select_all", 1}}).size(), 5u);
    const std::string message = "Operator 'filtration' requires children or select_all=True";
    expect_error<FilterValidationError>([&] { call_plain("filtration", keys); }, message);
    expect_error<FilterValidationError>([&] { call_plain("filtration", keys, {{"select_all", false}}); }, message);
    expect_error<FilterValidationError>([&] { call_children("filtration", keys, {}); }, message);
}

// ---- Target resolver ---------------------------------------------------------------------------

TEST(BuiltinResolver, PublishesEachOperatorInItsModule) {
    for (const char* name : {"gt", "gte", "lt", "lte", "eq", "neq", "between", "in_", "top_pct", "bottom_pct",
                             "top_n", "bottom_n", "and_", "or_", "not_", "filtration"}) {
        EXPECT_NO_THROW(builtin(name)) << name;
    }
    filtrations::ensure_builtin_modules_registered();
    EXPECT_NO_THROW(builtin("gt"));
}

TEST(BuiltinResolver, UnknownModuleOrAttribute) {
    expect_error<brindlecap::runtime::ModuleNotFoundError>(
        [] { filtrations::resolve_builtin_filtration_target("brindlecap.functions.filtrations.nope", "_builtin_gt"); },
        "No module named 'brindlecap.functions.filtrations.nope'");
    expect_error<brindlecap::runtime::AttributeError>(
        [] { filtrations::resolve_builtin_filtration_target(filtrations::RANK_MODULE, "_builtin_gt"); },
        "module 'brindlecap.functions.filtrations.rank' has no attribute '_builtin_gt'");
}

// ---- Through tree evaluation with the default store --------------------------------------------

TEST(BuiltinTree, DefaultStoreEvaluatesANestedTree) {
    using filtrations_evaluation::FilterNode;
    const double sharpe[] = {1.0, -1.0, NaN, 2.0, 0.5, 0.0, 3.0, -0.5, 0.0, 4.0};
    const double returns[] = {0.1, 0.9, 0.8, 0.2, 0.3, 0.4, 0.7, 0.5, 0.6, 0.05};
    filtrations_evaluation::SignalPool pool;
    for (int i = 0; i < 10; ++i) {
        Dict md;
        if (i != 5) md.set("is_sharpe", sharpe[i]);  // s5 lacks the field
        md.set("is_returns", returns[i]);
        md.set("rotation_families_used", i == 0 || i == 1 ? Value::list({"numerical"})
                                         : i == 4           ? Value::list({"latitudinal", "numerical"})
                                                            : Value::list({"event"}));
        pool.insert("s" + std::to_string(i), filtrations_evaluation::UsefulSignal::make(std::move(md)));
    }
    // and_(gt(is_sharpe > 0), or_(in_(numerical), top_pct(is_returns, 0.2)))
    const FilterNode tree{
        "and_",
        {},
        {FilterNode{"gt", {{"field", "is_sharpe"}, {"value", 0.0}}, {}},
         FilterNode{"or_",
                    {},
                    {FilterNode{"in_", {{"field", "rotation_families_used"}, {"values", Value::list({"numerical"})}}, {}},
                     FilterNode{"top_pct", {{"field", "is_returns"}, {"pct", 0.2}}, {}}}}}};
    const auto result = filtrations_evaluation::resolve_filtrations(pool, tree, registry_and_store::build_default_store());
    EXPECT_EQ(result.passing_ids, (Ids{"s0", "s4"}));
    std::vector<std::int64_t> counts;
    for (const auto& d : result.filter_diagnostics) counts.push_back(d.passing_count);
    // gt {s0,s3,s4,s6,s9}; in_ {s0,s1,s4}; top_pct {s1,s2}; or_ {s0,s1,s2,s4}; and_ {s0,s4}
    EXPECT_EQ(counts, (std::vector<std::int64_t>{5, 3, 2, 4, 2}));
}

}  // namespace
