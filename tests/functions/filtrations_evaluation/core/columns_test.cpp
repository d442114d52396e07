// The column store: built-in operators over columns give the row way's answers and errors, and
// a changed pool never answers from stale columns.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <cstdint>
#include <limits>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "brindlecap/functions/filtrations_evaluation/core/builtin_operator_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/core/columns_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/core/pool_columns.hpp"
#include "brindlecap/functions/filtrations_evaluation/tree/dispatch_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/tree/resolve.hpp"
#include "brindlecap/functions/filtrations_evaluation/tree/resolve_internal.hpp"
#include "brindlecap/runtime/errors.hpp"
#include "brindlecap/runtime/text.hpp"
#include "case_file.hpp"
#include "functions/filtrations_evaluation/tree/tree_support.hpp"
#include "runtime/value_printer.hpp"

namespace brindlecap::functions::filtrations_evaluation {
namespace {

using runtime::List;
using runtime::Value;
using testing::born_pool;
using testing::make_pool;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr std::int64_t kTwo53 = std::int64_t{1} << 53;

const registry_and_store::FunctionStore& default_store() {
    static const auto* store = new registry_and_store::FunctionStore(registry_and_store::build_default_store());
    return *store;
}

Operator builtin(const std::string& name) { return detail::load_operator(default_store(), name); }

// The same operator behind a callable the framework does not know: it goes the row way.
Operator row_way(Operator op) {
    return [op = std::move(op)](const OperatorCall& call) { return op(call); };
}

std::string joined(const std::vector<std::string>& ids) {
    std::string out;
    for (const auto& id : ids) out += (out.empty() ? "" : " ") + id;
    return "[" + out + "]";
}

// The passing ids, sorted, or the error's kind and message.
template <class F>
std::string outcome(F&& f) {
    try {
        return joined(f().sorted());
    } catch (const runtime::Exception& e) {
        return e.kind() + ": " + e.message();
    }
}

std::string call(const Operator& op, const SignalPool& pool, const Dict& params, const std::string& operator_name) {
    return outcome([&] { return detail::prepare_and_dispatch(op, pool, params, 0, {}, operator_name); });
}
// The built-in `name` over columns, called under its own name.
std::string col(const SignalPool& pool, const std::string& name, const Dict& params) {
    return call(builtin(name), pool, params, name);
}

// Every call both ways on the same pool; the column way first, so it builds the columns.
void expect_same_both_ways(const SignalPool& pool, const std::string& name, const Dict& params,
                           const std::string& operator_name) {
    const std::string columns = call(builtin(name), pool, params, operator_name);
    const std::string rows = call(row_way(builtin(name)), pool, params, operator_name);
    EXPECT_EQ(columns, rows) << name << " " << runtime::repr(Value(params)) << " named '" << operator_name << "'";
}

Value strs(std::initializer_list<const char*> items) {
    List l;
    for (const char* s : items) l.emplace_back(s);
    return Value::list(std::move(l));
}

struct Case {
    const char* name;
    Dict params;
};

// Calls over every field of a pool with bounds of each kind, under their own name and unnamed
// (then no field type check stands in the way).
std::vector<Case> calls_over(const std::string& field, const std::vector<Value>& bounds) {
    std::vector<Case> out;
    for (const Value& b : bounds) {
        for (const char* op : {"gt", "gte", "lt", "lte", "eq", "neq"}) out.push_back({op, {{"field", field}, {"value", b}}});
        out.push_back({"between", {{"field", field}, {"low", b}, {"high", b}}});
        out.push_back({"between", {{"field", field}, {"low", Value(-1)}, {"high", b}}});
    }
    out.push_back({"in_", {{"field", field}, {"values", Value::list(List(bounds.begin(), bounds.end()))}}});
    out.push_back({"in_", {{"field", field}}});
    out.push_back({"in_", {{"field", field}, {"values", Value(1)}}});
    for (const char* op : {"top_n", "bottom_n"}) {
        for (const Value n : {Value(1), Value(2), Value(3.5), Value(100), Value(kNaN), Value("2")}) {
            out.push_back({op, {{"field", field}, {"n", n}}});
        }
    }
    for (const char* op : {"top_pct", "bottom_pct"}) {
        for (const Value pct : {Value(0.2), Value(0.5), Value(1.0), Value(true)}) out.push_back({op, {{"field", field}, {"pct", pct}}});
        out.push_back({op, {{"field", field}, {"pct", 0.5}, {"n", 1}}});
        out.push_back({op, {{"field", field}}});
    }
    out.push_back({"gt", {{"field", field}}});
    return out;
}

void expect_all_calls_same(const SignalPool& pool, const std::vector<std::string>& fields, const std::vector<Value>& bounds) {
    for (const auto& field : fields) {
        for (const Case& c : calls_over(field, bounds)) {
            expect_same_both_ways(pool, c.name, c.params, c.name);
            expect_same_both_ways(pool, c.name, c.params, "");
        }
    }
}

// ---- Built-ins over columns give the row way's answers ----------------------------------------

TEST(ColumnStoreTest, BuiltinsAreRecognisedByTheirCallableOnly) {
    for (const char* name : {"gt", "between", "in_", "top_pct", "bottom_n"}) {
        const Operator op = builtin(name);
        const detail::BuiltinOperator* b = detail::builtin_of(op);
        ASSERT_NE(b, nullptr) << name;
        EXPECT_TRUE(static_cast<bool>(b->columns)) << name;
        EXPECT_EQ(detail::builtin_of(row_way(builtin(name))), nullptr) << name;
    }
    // A store that registers its own gt gets its own operator, called with a PreparedField.
    registry_and_store::FunctionStore store = registry_and_store::build_default_store();
    std::vector<std::string> seen;
    store.register_entry({"gt", "filtration",
                          field_operator("gt", [&](const PreparedField& f, const Dict&) -> OperatorResult {
                              for (const auto& v : f.values) seen.push_back(std::string(v.id) + "=" + runtime::repr(*v.value));
                              return f.pool_keys;
                          }),
                          "", "", Value()});
    const SignalPool pool = make_pool({{"b", {{"x", 2.5}}}, {"a", {{"x", kNaN}}}, {"c", {{"x", 1}}}});
    const FiltrationResult r = resolve_filtrations(pool, FilterNode{"gt", {{"field", "x"}, {"value", 0}}, {}}, store);
    EXPECT_EQ(r.passing_ids, (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_EQ(seen, (std::vector<std::string>{"b=2.5", "c=1"}));
}

// Fields of every kind the columns hold, with missing values, NaN, ints beside floats, and
// fields that change kind down the pool (the first holder decides the type).
std::vector<std::pair<std::string, Dict>> mixed_signals() {
    return {
        {"s3", {{"num", 1.5}, {"int", 3}, {"flag", true}, {"cat", "b"}, {"tags", strs({"x", "y"})}, {"f2s", 2.0}, {"s2f", "a"}}},
        {"s1", {{"num", kNaN}, {"int", -2}, {"flag", false}, {"cat", "a"}, {"tags", strs({})}, {"f2s", "z"}, {"s2f", 1.0}}},
        {"s10", {{"num", 1.0}, {"cat", ""}, {"tags", strs({"y", "y"})}, {"b2n", true}}},
        {"s2", {{"num", 1}, {"int", 0}, {"flag", true}, {"cat", "c"}, {"b2n", 1.0}, {"none", Value()}}},
        {"s0", {{"num", -INFINITY}, {"int", 3}, {"cat", "b"}, {"tags", strs({"z"})}, {"none", 1.0}, {"nested", Dict{{"k", 1}}}}},
        {"t", {{"num", 1.0 + 5e-13}, {"int", 7}, {"flag", false}, {"tags", Value::list({"x", 1})}}},
        {"u", {{"num", 0.999999999999}, {"int", 3}, {"cat", "a"}, {"tags", strs({"x"})}}},
    };
}

const std::vector<Value>& mixed_bounds() {
    static const std::vector<Value> bounds = {Value(1.0), Value(1), Value(true), Value(false), Value("b"), Value(""),
                                              Value(kNaN), Value(3), Value(-INFINITY), Value(), strs({"x"})};
    return bounds;
}

TEST(ColumnStoreTest, EveryKindOfFieldBothWaysRowAndBornPools) {
    const std::vector<std::string> fields = {"num", "int", "flag", "cat", "tags", "f2s", "s2f", "b2n", "none", "nested", "nope"};
    expect_all_calls_same(make_pool(mixed_signals()), fields, mixed_bounds());
    expect_all_calls_same(born_pool(mixed_signals()), fields, mixed_bounds());
}

// The field cases of tests/data/cases/operators.jsonl, over row and born pools of their rows, unnamed
// (no field type check): the column way gives the table's answer.
TEST(ColumnStoreTest, TheOperatorTableOverColumns) {
    std::map<std::string, std::vector<std::pair<std::string, Dict>>> fields;
    for (const auto& c : test::read_cases("operators.jsonl")) {
        if (c.has("let")) {
            auto& signals = fields[c.str("let")];
            for (const auto& [id, v] : c["rows"].as_dict()) signals.push_back({id.as_str(), Dict{{"f", v}}});
            if (c.has("extra")) for (const auto& id : c["extra"].as_list()) signals.push_back({id.as_str(), Dict{}});
            continue;
        }
        if (!c.has("field") || c.has("kernel_only") || (c.has("error") && c.str("error").rfind("TypeError", 0) != 0)) continue;
        if (fields.at(c.str("field")).empty() || !fields.at(c.str("field")).front().second.contains("f")) continue;
        Dict params = c["params"].as_dict().copy();
        params.set("field", "f");
        const std::string expected =
            c.has("error") ? c.str("error") : joined(test::strings(c[c.has("pool_expect") ? "pool_expect" : "expect"]));
        for (const SignalPool& pool : {make_pool(fields.at(c.str("field"))), born_pool(fields.at(c.str("field")))}) {
            EXPECT_EQ(call(builtin(c.str("op")), pool, params, ""), expected) << c.where;
        }
    }
}

TEST(ColumnStoreTest, EqualityBothWays) {
    const SignalPool numbers = make_pool({{"a", {{"x", 1.0}}}, {"b", {{"x", 1.0 + 5e-13}}}, {"c", {{"x", 1.0 + 2e-12}}},
                                         {"d", {{"x", 1}}}, {"e", {{"x", 1.0 - 9e-13}}}, {"f", {{"x", kNaN}}}});
    const SignalPool flags = make_pool({{"a", {{"x", true}}}, {"b", {{"x", false}}}, {"c", {}}});
    for (const auto* pool : {&numbers, &flags}) {
        for (const char* op : {"eq", "neq"}) {
            for (const Value& v : {Value(1.0), Value(1), Value(true), Value(false), Value("1.0"), Value(), Value(kNaN)}) {
                expect_same_both_ways(*pool, op, {{"field", "x"}, {"value", v}}, "");
            }
        }
    }
}

TEST(ColumnStoreTest, BigIntegersBothWays) {
    const std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
    const std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
    // Both ways over the pools of the table's big-integer cases, and a big int after floats.
    const SignalPool ints = make_pool({{"a", {{"x", kTwo53 + 1}}}, {"b", {{"x", kTwo53}}}, {"c", {{"x", kTwo53 + 2}}},
                                      {"d", {{"x", kMax}}}, {"e", {{"x", kMin}}}, {"f", {}}});
    const SignalPool floats = make_pool({{"a", {{"x", 9007199254740992.0}}}, {"b", {{"x", 9007199254740994.0}}}, {"c", {{"x", 1}}}});
    const std::vector<Value> bounds = {Value(kTwo53), Value(kTwo53 + 1), Value(kTwo53 - 1), Value(kMax), Value(kMin),
                                       Value(kMax - 1), Value(9.2233720368547758e18), Value(-9.2233720368547758e18),
                                       Value(9007199254740993.0), Value(0.5)};
    expect_all_calls_same(ints, {"x"}, bounds);
    expect_all_calls_same(floats, {"x"}, bounds);
    // A big int after floats: no typed column holds both exactly.
    expect_all_calls_same(make_pool({{"a", {{"x", 0.5}}}, {"b", {{"x", kTwo53 + 1}}}, {"c", {{"x", 7}}}}), {"x"}, bounds);
}

TEST(ColumnStoreTest, MembershipOverStringsListsAndOtherValues) {
    // More than 64 distinct strings: lists without code masks.
    std::vector<std::pair<std::string, Dict>> many;
    for (int i = 0; i < 90; ++i) {
        List tags{Value("t" + std::to_string(i)), Value("t" + std::to_string((i * 7) % 90))};
        many.push_back({"s" + std::to_string(i), {{"tags", Value::list(tags)}, {"cat", "c" + std::to_string(i % 70)}}});
    }
    many.push_back({"empty", {}});
    const SignalPool pool = make_pool(many);
    for (const Value& targets : {strs({"t3", "t89"}), strs({"c5", "c69", "nope"}), Value::list({1, "t4", Value(), "c1"}),
                                 Value::list({}), strs({""})}) {
        for (const char* field : {"tags", "cat"}) expect_same_both_ways(pool, "in_", {{"field", field}, {"values", targets}}, "in_");
    }
    EXPECT_EQ(col(pool, "in_", {{"field", "cat"}, {"values", strs({""})}}), "[empty]");
    // Non-string values: True is 1, 1.0 is 1.
    const SignalPool others = make_pool({{"a", {{"b", true}, {"n", 1.0}}}, {"c", {{"b", false}, {"n", 2}}}, {"d", {{"n", kNaN}}}});
    EXPECT_EQ(call(builtin("in_"), others, {{"field", "b"}, {"values", Value::list({1})}}, ""), "[a]");
    EXPECT_EQ(call(builtin("in_"), others, {{"field", "n"}, {"values", Value::list({1, 2.0})}}, ""), "[a c]");
    for (const char* field : {"b", "n"}) {
        expect_same_both_ways(others, "in_", {{"field", field}, {"values", Value::list({1, 0, Value(false), 2.0, kNaN})}}, "");
    }
}

TEST(ColumnStoreTest, PoolsOfNoneAndOneSignal) {
    for (const SignalPool& empty :
         {SignalPool{}, ColumnarPoolBuilder(std::vector<std::string>{}).build(), parse_signal_pool_json("{}")}) {
        EXPECT_EQ(col(empty, "gt", {{"field", "x"}, {"value", 0}}), "EmptyPoolError: No useful signals in pool");
        EXPECT_EQ(outcome([&] { return IdSet(resolve_filtrations(empty, FilterNode{"gt", {{"field", "x"}, {"value", 0}}, {}},
                                                                 default_store()).passing_ids); }),
                  "EmptyPoolError: No useful signals in pool");
    }
    for (const SignalPool& one : {make_pool({{"only", {{"x", 2.0}, {"c", "a"}}}}), born_pool({{"only", {{"x", 2.0}, {"c", "a"}}}})}) {
        EXPECT_EQ(col(one, "top_pct", {{"field", "x"}, {"pct", 0.01}}), "[only]");
        EXPECT_EQ(col(one, "gt", {{"field", "x"}, {"value", 2}}), "[]");
        expect_all_calls_same(one, {"x", "c"}, {Value(2.0), Value("a"), Value(1)});
    }
}

// ---- A changed pool never answers from stale columns ------------------------------------------

// The pool's gt(x, 1) both ways; the column way must follow every change.
std::string gt1(const SignalPool& pool) { return col(pool, "gt", {{"field", "x"}, {"value", 1}}); }
std::string gt1_rows(const SignalPool& pool) { return call(row_way(builtin("gt")), pool, {{"field", "x"}, {"value", 1}}, "gt"); }
std::string in_y(const SignalPool& pool) { return col(pool, "in_", {{"field", "tags"}, {"values", strs({"y"})}}); }

SignalPool change_pool(bool born) {
    const std::vector<std::pair<std::string, Dict>> signals = {{"a", {{"x", 0.5}, {"tags", strs({"x"})}}},
                                                               {"b", {{"x", 2.0}, {"tags", strs({"y"})}}},
                                                               {"c", {{"x", 3}, {"tags", strs({})}}}};
    return born ? born_pool(signals) : make_pool(signals);
}

TEST(ColumnStoreTest, ChangesThroughThePoolAndItsDictsDropTheColumns) {
    using Change = std::function<void(SignalPool&)>;
    const std::vector<std::pair<std::string, Change>> changes = {
        {"insert replaces", [](SignalPool& p) { p.insert("a", UsefulSignal::make({{"x", 5.0}})); }},
        {"insert adds", [](SignalPool& p) { p.insert("d", UsefulSignal::make({{"x", 9}})); }},
        {"mutable signal()", [](SignalPool& p) { p.signal(0).metadata = std::make_shared<Dict>(Dict{{"x", 4.0}}); }},
        {"mutable find()", [](SignalPool& p) { p.find("c")->metadata->set("x", Value(-1)); }},
        {"iteration", [](SignalPool& p) { for (auto e : p) e.signal.metadata->pop(Value("x")); }},
        {"set through a const pool", [](SignalPool& p) { std::as_const(p).signal(0).metadata->set("x", Value(7.5)); }},
        {"pop through a const pool", [](SignalPool& p) { std::as_const(p).find("b")->metadata->pop(Value("x")); }},
        {"clear", [](SignalPool& p) { std::as_const(p).signal(2).metadata->clear(); }},
        {"assignment", [](SignalPool& p) { *std::as_const(p).signal(1).metadata = Dict{{"x", kNaN}}; }},
        {"move from", [](SignalPool& p) { Dict taken = std::move(*std::as_const(p).signal(1).metadata); }},
        {"mutable at", [](SignalPool& p) { std::as_const(p).signal(0).metadata->at("x") = Value(8); }},
        {"list through mutable find", [](SignalPool& p) {
             std::as_const(p).signal(0).metadata->find("tags")->as_list().push_back(Value("y"));
         }},
    };
    for (const bool born : {false, true}) {
        for (const auto& [what, change] : changes) {
            SignalPool pool = change_pool(born);
            const std::string before = gt1(pool);
            const std::string tags_before = in_y(pool);
            ASSERT_EQ(before, gt1_rows(pool));
            change(pool);
            const std::string after = gt1_rows(pool);
            EXPECT_EQ(gt1(pool), after) << what << (born ? " (born)" : "");
            EXPECT_TRUE(after != before || in_y(pool) != tags_before) << what << ": the change changes nothing";
            if (what == "list through mutable find") EXPECT_EQ(in_y(pool), "[a b]");
        }
    }
}

TEST(ColumnStoreTest, DictsHeldOutsideTheirPoolAndCopiesOfPools) {
    // A dict the caller still holds after inserting its signal.
    UsefulSignal held = UsefulSignal::make({{"x", 0.0}});
    SignalPool pool = change_pool(false);
    pool.insert("h", held);
    EXPECT_EQ(gt1(pool), "[b c]");
    held.metadata->set("x", Value(2));
    EXPECT_EQ(gt1(pool), "[b c h]");
    // A mutable reference taken through the pool before the columns are built.
    Dict& late = *std::as_const(pool).signal(0).metadata;
    EXPECT_EQ(gt1(pool), "[b c h]");
    late.set("x", Value(1.5));
    EXPECT_EQ(gt1(pool), "[a b c h]");

    // Copies share the dicts: a change through one shows in both.
    const SignalPool copy = pool;
    EXPECT_EQ(gt1(copy), "[a b c h]");
    std::as_const(pool).find("b")->metadata->set("x", Value(0));
    EXPECT_EQ(gt1(copy), "[a c h]");
    EXPECT_EQ(gt1(pool), "[a c h]");

    // A list changed through another Value sharing it is not seen; drop_columns catches up.
    SignalPool lists = change_pool(false);
    EXPECT_EQ(in_y(lists), "[b]");
    const Dict& first = *std::as_const(lists).signal(0).metadata;
    Value shared = *first.find(std::string_view("tags"));
    shared.as_list().push_back(Value("y"));
    lists.drop_columns();
    EXPECT_EQ(in_y(lists), "[a b]");

    // Changes in another pool's dicts leave this pool's answers alone.
    SignalPool other = change_pool(true);
    EXPECT_EQ(gt1(other), "[b c]");
    std::as_const(pool).find("a")->metadata->set("x", Value(-5));
    EXPECT_EQ(gt1(other), "[b c]");
}

TEST(ColumnStoreTest, FieldsChangingTypeAndTheFirstHolder) {
    // The first holder decides the type; a later change of it moves the decision.
    SignalPool pool = make_pool({{"a", {{"f", "text"}}}, {"b", {{"f", 2.0}}}, {"c", {{"f", 3.0}}}});
    EXPECT_EQ(col(pool, "gt", {{"field", "f"}, {"value", 1}}),
              "FilterValidationError: Operator 'gt' not valid for field 'f' (type categorical)");
    std::as_const(pool).signal(0).metadata->pop(Value("f"));
    EXPECT_EQ(col(pool, "gt", {{"field", "f"}, {"value", 1}}), "[b c]");
    std::as_const(pool).signal(2).metadata->set("f", Value("x"));
    expect_same_both_ways(pool, "gt", {{"field", "f"}, {"value", 1}}, "gt");
    EXPECT_EQ(col(pool, "gt", {{"field", "f"}, {"value", 1}}),
              "TypeError: '>' not supported between instances of 'str' and 'int'");
    // Unknown fields list the pool's keys, from columns or rows alike.
    for (const SignalPool& p : {make_pool(mixed_signals()), born_pool(mixed_signals())}) {
        EXPECT_EQ(col(p, "eq", {{"field", "nope"}, {"value", 1}}),
                  "FilterValidationError: Unknown field 'nope'. Valid fields: ['b2n', 'cat', 'f2s', 'flag', 'int', "
                  "'nested', 'none', 'num', 's2f', 'tags']");
    }
}

TEST(ColumnStoreTest, ConcurrentFirstUseOfOnePool) {
    for (const bool born : {false, true}) {
        std::vector<std::pair<std::string, Dict>> signals;
        for (int i = 0; i < 2000; ++i) {
            signals.push_back({"s" + std::to_string((i * 7919) % 2000),
                               {{"x", static_cast<double>(i % 17)}, {"tags", strs({i % 3 ? "y" : "z"})}}});
        }
        const SignalPool pool = born ? born_pool(signals) : make_pool(signals);
        const FilterNode tree{"and_", {}, {{"top_pct", {{"field", "x"}, {"pct", 0.3}}, {}},
                                           {"in_", {{"field", "tags"}, {"values", strs({"y"})}}, {}}}};
        // Columns built, and rows made for the row way, from several threads at once.
        std::vector<FiltrationResult> results(4);
        std::vector<std::string> rows(4);
        std::vector<std::thread> threads;
        for (auto& r : results) threads.emplace_back([&] { r = resolve_filtrations(pool, tree, default_store()); });
        for (auto& r : rows) threads.emplace_back([&] { r = gt1_rows(pool); });
        for (auto& t : threads) t.join();
        for (std::size_t i = 1; i < results.size(); ++i) {
            EXPECT_EQ(results[i], results[0]);
            EXPECT_EQ(rows[i], rows[0]);
        }
        EXPECT_EQ(rows[0], gt1(pool));
    }
}

}  // namespace
}  // namespace brindlecap::functions::filtrations_evaluation
