#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "brindlecap/functions/filtrations/builtin_runtime_targets.hpp"
#include "brindlecap/functions/filtrations_evaluation/core/errors.hpp"
#include "brindlecap/functions/filtrations_evaluation/core/operator.hpp"
#include "brindlecap/functions/filtrations_evaluation/core/pool.hpp"
#include "brindlecap/functions/filtrations_evaluation/core/records.hpp"
#include "brindlecap/functions/registry_and_store/store.hpp"
#include "brindlecap/runtime/errors.hpp"
#include "runtime/value_printer.hpp"

namespace {

using namespace brindlecap::functions;
using brindlecap::runtime::Dict;
using brindlecap::runtime::TypeError;
using brindlecap::runtime::Value;
using brindlecap::test::message_of;
using filtrations_evaluation::CallForm;
using filtrations_evaluation::FilterValidationError;
using filtrations_evaluation::IdSet;
using filtrations_evaluation::KeyIndex;
using filtrations_evaluation::OperatorCall;
using filtrations_evaluation::PreparedField;
using filtrations_evaluation::PreparedValue;
using Ids = std::vector<std::string>;
using Rows = std::vector<std::pair<std::string, Value>>;

const double NaN = std::numeric_limits<double>::quiet_NaN();

filtrations_evaluation::Operator builtin(const std::string& name) {
    static const registry_and_store::FunctionStore store = registry_and_store::build_default_store();
    const auto e = store.get_entry(name);
    return filtrations::resolve_builtin_filtration_target(e.module_path, e.class_name);
}

// A prepared field built by hand: `rows` carry values, `extra_keys` are pool keys without one.
class Field {
public:
    explicit Field(Rows rows, Ids extra_keys = {}, bool with_universe = true) : storage_(rows.size()) {
        auto index = std::make_shared<KeyIndex>();
        for (std::size_t i = 0; i < rows.size(); ++i) {
            const std::uint32_t pos = index->add(rows[i].first);
            storage_[i] = rows[i].second;
            prepared.values.push_back(PreparedValue{index->id(pos), &storage_[i], pos});
        }
        for (auto& id : extra_keys) index->add(id);
        prepared.field_name = "f";
        prepared.field_type = filtrations_evaluation::FieldType::numeric;
        if (with_universe) {
            prepared.pool_keys = IdSet::all_of(index);
        } else {  // no key index: the operators fall back to inserting identifiers
            for (std::size_t i = 0; i < index->size(); ++i) prepared.pool_keys.insert(index->id(i));
        }
        index_ = index;
    }
    Field(const Field&) = delete;

    PreparedField prepared;

private:
    std::shared_ptr<KeyIndex> index_;
    std::vector<Value> storage_;
};

Ids call_field(const std::string& name, const Field& field, Dict params) {
    params.set("field", "f");
    OperatorCall call{CallForm::field_leaf, nullptr, &params, nullptr, &field.prepared};
    return std::get<IdSet>(builtin(name)(call)).sorted();
}

Ids call_other(const std::string& name, const IdSet& keys, const std::vector<IdSet>* children, const Dict& params = {}) {
    OperatorCall call{children ? CallForm::combinator : CallForm::plain_leaf, &keys, &params, children, nullptr};
    return std::get<IdSet>(builtin(name)(call)).sorted();
}

// Values 0..n-1 under ids s00..s(n-1).
Rows numbered(int n) {
    Rows rows;
    for (int i = 0; i < n; ++i) rows.emplace_back((i < 10 ? "s0" : "s") + std::to_string(i), Value(double(i)));
    return rows;
}

struct Case {
    const Field* field;
    const char* op;
    Dict params;
    Ids expected;
};

void run_cases(const std::vector<Case>& cases) {
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.op) + " " + brindlecap::runtime::repr(Value(c.params)));
        EXPECT_EQ(call_field(c.op, *c.field, c.params), c.expected);
    }
}

TEST(BuiltinLeaves, ComparisonsAgainstHandComputedSelections) {
    const Field mixed({{"a", 1}, {"b", 2.5}, {"c", 3}, {"d", -1.0}, {"e", Value(true)}});
    const long long big = (1LL << 53) + 1;
    const Field large({{"a", big}, {"b", big - 1}});
    const Field words({{"a", "apple"}, {"b", "banana"}, {"c", "Cherry"}, {"d", "b"}});
    const Field zeros({{"zero", 0.0}, {"near", 1e-13}, {"edge", -1e-12}, {"far", 0.5}});
    const Field bools({{"t", Value(true)}, {"f", Value(false)}});
    const Field ones({{"one", 1}, {"zero", 0.0}});
    const Field odd({{"nan", NaN}, {"list", Value::list({"a"})}, {"none", Value()}, {"one", 1.0}});
    const Field cats({{"a", "momentum"}, {"b", "Momentum"}, {"c", ""}});
    const Field empty({}, {"a", "b"});
    const Field six(numbered(6));
    run_cases({
        {&mixed, "gt", {{"value", 1}}, {"b", "c"}},
        {&mixed, "gte", {{"value", 1.0}}, {"a", "b", "c", "e"}},
        {&mixed, "lt", {{"value", 2.5}}, {"a", "d", "e"}},
        {&mixed, "lte", {{"value", true}}, {"a", "d", "e"}},
        {&mixed, "gt", {{"value", NaN}}, {}},
        {&large, "gt", {{"value", big - 1}}, {"a"}},  // large integers compare exactly
        {&words, "gte", {{"value", "b"}}, {"b", "d"}},
        {&words, "lt", {{"value", "apple"}}, {"c"}},
        // eq within 1e-12 (strictly), booleans never equal to 1, NaN / lists / None pass neither.
        {&zeros, "eq", {{"value", 0.0}}, {"near", "zero"}},
        {&zeros, "neq", {{"value", 0.0}}, {"edge", "far"}},
        {&bools, "eq", {{"value", 1}}, {}},
        {&bools, "neq", {{"value", 1}}, {}},
        {&bools, "eq", {{"value", true}}, {"t"}},
        {&bools, "neq", {{"value", true}}, {"f"}},
        {&ones, "eq", {{"value", true}}, {"one"}},  // a numeric actual converts a boolean target
        {&ones, "neq", {{"value", true}}, {"zero"}},
        {&odd, "eq", {{"value", 1.0}}, {"one"}},
        {&odd, "neq", {{"value", 2.0}}, {"one"}},
        {&odd, "neq", {{"value", NaN}}, {}},
        {&cats, "eq", {{"value", "momentum"}}, {"a"}},
        {&cats, "neq", {{"value", "momentum"}}, {"b", "c"}},
        {&cats, "neq", {{"value", 0.0}}, {"a", "b", "c"}},  // a non-string target differs from every string
        {&cats, "eq", {{"value", Value()}}, {}},
        {&empty, "lte", {{"value", 0.0}}, {}},
        {&six, "between", {{"low", 1}, {"high", 3.0}}, {"s01", "s02", "s03"}},
        {&six, "between", {{"low", 2.0}, {"high", 2.0}}, {"s02"}},
        {&six, "between", {{"low", 2.5}, {"high", 2.5}}, {}},
        {&words, "between", {{"low", "b"}, {"high", "c"}}, {"b", "d"}},
    });
    EXPECT_EQ(message_of<TypeError>([&] { call_field("gt", words, {{"value", 0.0}}); }),
              "'>' not supported between instances of 'str' and 'float'");
    EXPECT_THROW(call_field("eq", six, {{"value", Value()}}), TypeError);  // unconvertible target against numbers
    // between stops at the first failed bound: the incomparable high bound is reached only above low.
    EXPECT_EQ(call_field("between", Field({{"a", 1.0}}), {{"low", 2.0}, {"high", "z"}}), Ids{});
    EXPECT_THROW(call_field("between", Field({{"a", 3.0}}), {{"low", 2.0}, {"high", "z"}}), TypeError);
}

TEST(BuiltinLeaves, MembershipOnListsAndScalars) {
    const Field f({{"both", Value::list({"latitudinal", "numerical"})},
                   {"event", Value::list({"event"})},
                   {"empty", Value::list({})},
                   {"scalar", "numerical"},
                   {"other", "value"}});
    const Field kinds({{"int", 1}, {"float", 2.0}, {"bool", Value(true)}, {"none", Value()}, {"str", "1"}});
    // Past eight targets of a kind they are hashed: 7 == 7.0, and 1 == True below.
    brindlecap::runtime::List many, ints;
    for (int i = 0; i < 20; ++i) many.push_back(Value("t" + std::to_string(i)));
    for (int i = 0; i < 20; ++i) many.push_back(Value(100 + i));
    many.push_back(Value(7.0));
    for (int i : {1, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}) ints.push_back(Value(i));
    const Field spread({{"a", "t3"}, {"b", Value::list({"x", "t11"})}, {"c", "zz"}, {"d", 7}});
    run_cases({
        {&f, "in_", {{"values", Value::list({"numerical"})}}, {"both", "scalar"}},
        {&f, "in_", {{"values", Value::list({"event", "value"})}}, {"event", "other"}},
        {&f, "in_", {}, {}},
        {&kinds, "in_", {{"values", Value::list({1.0, 2})}}, {"bool", "float", "int"}},
        {&kinds, "in_", {{"values", Value::list({Value()})}}, {"none"}},
        {&kinds, "in_", {{"values", Value::list({"1", "x"})}}, {"str"}},  // string targets only
        {&kinds, "in_", {{"values", Value::list(ints)}}, {"bool", "int"}},
        {&spread, "in_", {{"values", Value::list(many)}}, {"a", "b", "d"}},
    });
}

TEST(BuiltinLeaves, RankWithTiesAtTheCutoff) {
    // 9, 8, 7, 6 then four values tied at 5 in the fifth place.
    const Field f({{"a", 9.0}, {"b", 8.0}, {"c", 7}, {"d", 6.0}, {"e", 5.0}, {"f", 5}, {"g", 5.0}, {"h", 5.0},
                   {"i", 4.0}, {"j", -1.0}});
    const Field low_tie({{"a", 1.0}, {"b", 1.0}, {"c", 2.0}});
    const Field n25(numbered(25));
    Rows rows;
    for (int i = 0; i < 24; ++i) rows.emplace_back("v" + std::to_string(100 + i), Value(double(i)));
    rows.emplace_back("tied", Value(21.0));
    const Field tied(rows);
    const Field three(numbered(3));
    const Field with_nan({{"a", NaN}, {"b", 1.0}, {"c", 2.0}});
    const Field words({{"a", "apple"}, {"b", "cherry"}, {"c", "banana"}});
    const Field empty({}, {"a", "b"});
    const Field no_index({{"a", 1.0}, {"b", 2.0}, {"c", 3.0}}, {}, /*with_universe=*/false);
    run_cases({
        {&f, "top_n", {{"n", 5}}, {"a", "b", "c", "d", "e", "f", "g", "h"}},
        {&f, "bottom_n", {{"n", 3}}, {"e", "f", "g", "h", "i", "j"}},
        {&low_tie, "bottom_n", {{"n", 1}}, {"a", "b"}},
        // ceil(25 * 0.1) = 3 positions, at least one; a tie with the third value joins.
        {&n25, "top_pct", {{"pct", 0.1}}, {"s22", "s23", "s24"}},
        {&n25, "bottom_pct", {{"pct", 0.1}}, {"s00", "s01", "s02"}},
        {&n25, "top_pct", {{"pct", 0.01}}, {"s24"}},
        {&tied, "top_pct", {{"pct", 0.1}}, {"tied", "v121", "v122", "v123"}},
        {&three, "top_n", {{"n", 100}}, {"s00", "s01", "s02"}},
        {&three, "bottom_n", {{"n", INFINITY}}, {"s00", "s01", "s02"}},
        {&three, "top_n", {{"n", 1LL << 62}}, {"s00", "s01", "s02"}},
        {&three, "top_n", {{"n", 2.7}}, {"s01", "s02"}},
        {&three, "top_n", {{"n", 3}, {"pct", 0.3}}, {"s02"}},  // only pct counts when both are given
        {&with_nan, "bottom_n", {{"n", 5}}, {"b", "c"}},      // NaN is never ranked
        {&words, "top_n", {{"n", 1}}, {"b"}},
        {&empty, "top_n", {{"n", 3}}, {}},
        {&empty, "bottom_pct", {{"pct", 0.5}}, {}},
        {&no_index, "top_n", {{"n", 1}}, {"c"}},
        {&no_index, "gt", {{"value", 1.5}}, {"b", "c"}},
    });
    EXPECT_THROW(call_field("top_n", Field({{"a", 1.0}, {"b", "x"}}), {{"n", 1}}), TypeError);
}

TEST(BuiltinErrors, ParameterAndFormMessages) {
    const Field f(numbered(4));
    const Field empty({});
    const std::vector<std::tuple<const Field*, const char*, Dict, std::string>> cases = {
        // A NaN pct or n is refused, also on an empty field, instead of becoming a count.
        {&f, "top_pct", {{"pct", NaN}}, "pct must be in (0.0, 1.0], got nan"},
        {&f, "bottom_n", {{"n", NaN}}, "Count must be >= 1, got nan"},
        {&f, "top_n", {}, "Operator 'top_n' requires an 'n' parameter"},
        {&f, "bottom_pct", {{"pct", Value()}}, "Operator 'bottom_pct' requires a 'pct' parameter"},
        {&f, "top_n", {{"n", "3"}}, "Operator 'top_n' requires a numeric 'n', got str"},
        {&f, "between", {{"low", 1}}, "Operator 'between' requires 'low' and 'high' parameters"},
        {&f, "in_", {{"values", "numerical"}}, "Operator 'in_' requires 'values' to be a list, got str"},
    };
    for (const auto& [field, op, params, message] : cases) {
        EXPECT_EQ(message_of<FilterValidationError>([&] { call_field(op, *field, params); }), message) << op;
    }
    const IdSet& keys = f.prepared.pool_keys;
    const std::vector<IdSet> one{keys};
    for (const char* op : {"gt", "gte", "lt", "lte", "eq", "neq", "between", "in_", "top_pct", "bottom_pct", "top_n",
                           "bottom_n"}) {
        const std::string prefix = std::string("Operator '") + op;
        if (std::string_view(op).size() <= 3 && std::string_view(op) != "in_") {
            EXPECT_EQ(message_of<FilterValidationError>([&] { call_field(op, f, {}); }),
                      prefix + "' requires a 'value' parameter");
        }
        EXPECT_EQ(message_of<FilterValidationError>([&] { call_other(op, keys, nullptr, {{"value", 1}}); }),
                  prefix + "' requires a 'field' parameter");
        EXPECT_EQ(message_of<FilterValidationError>([&] { call_other(op, keys, &one, {{"field", "f"}}); }),
                  prefix + "' does not accept children");
    }
}

TEST(BuiltinCombinators, SetAlgebraChildCountsAndTheWrapper) {
    const Field pool({}, {"a", "b", "c", "d", "e"});
    const IdSet& keys = pool.prepared.pool_keys;
    const auto subset = [&](std::initializer_list<const char*> ids) {
        IdSet s = IdSet::over(keys.universe());
        for (const char* id : ids) s.insert(id);
        return s;
    };
    const IdSet x = subset({"a", "b", "c"}), y = subset({"b", "c", "d"}), z = subset({"c", "d", "e"});
    const std::vector<std::tuple<const char*, std::vector<IdSet>, Ids>> cases = {
        {"and_", {x, y, z}, {"c"}}, {"and_", {x}, {"a", "b", "c"}}, {"or_", {x, z}, {"a", "b", "c", "d", "e"}},
        {"or_", {subset({}), subset({"e"})}, {"e"}}, {"not_", {x}, {"d", "e"}},
        {"not_", {subset({})}, {"a", "b", "c", "d", "e"}}, {"filtration", {x, y}, {"b", "c"}}};
    for (const auto& [op, children, expected] : cases) EXPECT_EQ(call_other(op, keys, &children), expected) << op;

    const std::vector<IdSet> none, two{x, x};
    const auto fails = [&](const char* op, const std::vector<IdSet>* children, const Dict& params = {}) {
        return message_of<FilterValidationError>([&] { call_other(op, keys, children, params); });
    };
    for (const char* op : {"and_", "or_"}) {
        EXPECT_EQ(fails(op, &none), std::string("Operator '") + op + "' requires at least one child");
    }
    EXPECT_EQ(fails("not_", &two), "Operator 'not_' requires exactly one child, got 2");
    // The wrapper without children selects every candidate with select_all, else refuses.
    EXPECT_EQ(call_other("filtration", keys, nullptr, {{"select_all", true}}).size(), 5u);
    EXPECT_EQ(call_field("filtration", pool, {{"select_all", 1}}).size(), 5u);
    const std::string message = "Operator 'filtration' requires children or select_all=True";
    EXPECT_EQ(fails("filtration", nullptr), message);
}

}  // namespace
