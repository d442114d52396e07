#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>

#include "brindlecap/functions/filtrations_evaluation/tree/dispatch_internal.hpp"
#include "functions/filtrations_evaluation/checks/check_support.hpp"

namespace {

using namespace brindlecap::test::checks;
using Ids = std::vector<std::string>;

// A pool with one field "f" holding the given values, ids s0, s1, ...
fe::SignalPool pool_with(const std::vector<Value>& values) {
    fe::SignalPool pool;
    for (std::size_t i = 0; i < values.size(); ++i) {
        pool.insert("s" + std::to_string(i), fe::UsefulSignal::make(Dict{{"f", values[i]}}));
    }
    return pool;
}

// Runs a reference operator; without a name, the field-type check is skipped.
Ids run(const std::string& op, const fe::SignalPool& pool, Dict params, bool checked = true) {
    const auto ref = fd::get_reference_operator(op);
    if (!ref) throw std::logic_error("no reference for " + op);
    params.set("field", "f");
    return (checked ? fd::dispatch_op(op, *ref, pool, params) : fd::prepare_and_dispatch(*ref, pool, params, 0, {})).sorted();
}

}  // namespace

TEST(ReferenceOperators, ListedEdgeCases) {
    const auto numbers = pool_with({1, 2.5, 3});
    const auto zeros = pool_with({0.0, 1e-13, -1e-12});
    const auto infinite = pool_with({HUGE_VAL, 1.0});
    const auto bools = pool_with({Value(true), Value(false), 1});  // boolean field; the integer 1 is still a number
    const auto words = pool_with({"Momentum", "momentum", "value"});
    const auto ranked = pool_with({3.0, 1.0, 1.0, 2.0});
    const auto twos = pool_with({1.0, 2.0, 2.0, 3.0});
    std::vector<Value> values;
    for (int i = 0; i < 25; ++i) values.emplace_back(static_cast<double>(i));
    const auto n25 = pool_with(values);
    values.emplace_back(22.0);  // a tie with the third-highest
    const auto n26 = pool_with(values);
    const Ids all4 = {"s0", "s1", "s2", "s3"};
    const std::vector<std::tuple<const fe::SignalPool*, const char*, Dict, Ids>> cases = {
        {&numbers, "gt", {{"value", 2.5}}, {"s2"}},
        {&numbers, "gte", {{"value", 2.5}}, {"s1", "s2"}},
        {&numbers, "lte", {{"value", 2.5}}, {"s0", "s1"}},
        // Absolute tolerance 1e-12 (strict); a NaN target matches nothing; infinities equal themselves.
        {&zeros, "eq", {{"value", 0.0}}, {"s0", "s1"}},
        {&zeros, "neq", {{"value", 0.0}}, {"s2"}},
        {&zeros, "eq", {{"value", kNaN}}, {}},
        {&zeros, "neq", {{"value", kNaN}}, {}},
        {&infinite, "eq", {{"value", HUGE_VAL}}, {"s0"}},
        {&infinite, "neq", {{"value", HUGE_VAL}}, {"s1"}},
        {&bools, "eq", {{"value", 1}}, {"s2"}},
        {&bools, "eq", {{"value", true}}, {"s0", "s2"}},
        {&bools, "neq", {{"value", true}}, {"s1"}},
        {&bools, "neq", {{"value", 0}}, {"s2"}},
        {&words, "eq", {{"value", "momentum"}}, {"s1"}},
        {&words, "neq", {{"value", 1}}, {"s0", "s1", "s2"}},
        {&twos, "between", {{"low", 2.0}, {"high", 2.0}}, {"s1", "s2"}},
        // Ties at the cutoff are included; more positions than values select all; n is truncated.
        {&ranked, "bottom_n", {{"n", 1}}, {"s1", "s2"}},
        {&ranked, "top_n", {{"n", 2}}, {"s0", "s3"}},
        {&ranked, "top_n", {{"n", 3}}, all4},
        {&ranked, "top_n", {{"n", 10}}, all4},
        {&ranked, "top_n", {{"n", 1.9}}, {"s0"}},
        {&ranked, "bottom_pct", {}, {}},  // neither n nor pct
        // ceil(26 * 0.1) = 3 positions plus the tie; pct replaces n.
        {&n26, "top_pct", {{"pct", 0.1}}, {"s22", "s23", "s24", "s25"}},
        {&n25, "bottom_pct", {{"pct", 0.1}}, {"s0", "s1", "s2"}},
        {&n25, "bottom_pct", {{"pct", 0.02}, {"n", 10}}, {"s0"}},
    };
    for (const auto& [pool, op, params, expected] : cases) {
        EXPECT_EQ(run(op, *pool, params), expected) << op << " " << rt::repr(Value(params));
    }
    EXPECT_EQ(run("gt", pool_with({"apple", "banana"}), {{"value", "apricot"}}, false), Ids{"s1"});
    EXPECT_THROW(run("gt", numbers, {}), rt::TypeError);  // an absent target cannot be ordered
    EXPECT_ANY_THROW(run("eq", zeros, {{"value", "zero"}}));
    // A list field passes neither eq nor neq.
    for (const char* op : {"eq", "neq"}) EXPECT_EQ(run(op, pool_with({Value::list({"a"})}), {{"value", Value::list({"a"})}}, false), Ids{});
}

TEST(ReferenceOperators, MembershipOnListsAndScalars) {
    fe::SignalPool pool = pool_with({Value::list({"latitudinal", "numerical"}), "numerical", Value::list({"event"})});
    pool.insert("missing", fe::UsefulSignal::make(Dict{{"g", 1}}));
    EXPECT_EQ(run("in_", pool, {{"values", Value::list({"numerical"})}}), (Ids{"s0", "s1"}));
    EXPECT_EQ(run("in_", pool, {}), Ids{});
    EXPECT_EQ(run("in_", pool, {{"values", fd::id_set_value(fe::IdSet{"event", "x"})}}), Ids{"s2"});
}

TEST(ReferenceOperators, RankErrorsInsteadOfUndefinedResults) {
    const auto pool = pool_with({1.0, 2.0});
    // A NaN pct passes dispatch validation; the reference rejects it.
    EXPECT_EQ(brindlecap::test::message_of<fe::FilterValidationError>([&] { run("top_pct", pool, {{"pct", kNaN}}); }),
              "pct must be in (0.0, 1.0], got nan");
    EXPECT_THROW(run("top_n", pool, {{"n", kNaN}}), rt::ValueError);
    // Every value NaN: no cutoff exists.
    EXPECT_THROW(run("top_n", pool_with({kNaN, kNaN}), {{"n", 1}}), rt::ValueError);
}
