#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <map>

#include "brindlecap/functions/filtrations_evaluation/core/operator_table_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/tree/dispatch_internal.hpp"
#include "case_file.hpp"
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

// Every leaf of the operator table has a reference, no combinator has one.
TEST(ReferenceOperators, EveryLeafHasOne) {
    for (const auto& row : fd::builtin_operators()) EXPECT_EQ(row.combines(), row.reference == nullptr) << row.name;
}

// The cases of tests/data/cases/operators.jsonl that expect a selection, over a pool holding the
// field's rows (and its extra ids, without the field).
TEST(ReferenceOperators, AgreeWithTheOperatorTable) {
    std::map<std::string, fe::SignalPool> pools;
    int run_cases = 0;
    for (const auto& c : brindlecap::test::read_cases("operators.jsonl")) {
        if (c.has("let")) {
            fe::SignalPool& pool = pools[c.str("let")];
            for (const auto& [id, v] : c["rows"].as_dict()) pool.insert(id.as_str(), fe::UsefulSignal::make(Dict{{"f", v}}));
            if (c.has("extra")) for (const auto& id : c["extra"].as_list()) pool.insert(id.as_str(), fe::UsefulSignal::make(Dict{{"g", 1}}));
            continue;
        }
        if (!c.has("field") || !c.has("expect") || c.has("kernel_only") || !fd::get_reference_operator(c.str("op"))) continue;
        if (pools.at(c.str("field")).size() == 0 || !pools.at(c.str("field")).signal(0).metadata->contains("f")) continue;
        ++run_cases;
        const std::string got = brindlecap::test::outcome_text([&] {
            return brindlecap::test::ids_value(run(c.str("op"), pools.at(c.str("field")), c["params"].as_dict(), false));
        });
        EXPECT_EQ(got, rt::repr(c[c.has("pool_expect") ? "pool_expect" : "expect"])) << c.where;
    }
    EXPECT_GT(run_cases, 50);
}

TEST(ReferenceOperators, FieldTypesAndTargetsThatDoNotCompare) {
    const auto numbers = pool_with({1, 2.5, 3});
    EXPECT_THROW(run("gt", numbers, {}), rt::TypeError);  // an absent target cannot be ordered
    EXPECT_ANY_THROW(run("eq", pool_with({0.0}), {{"value", "zero"}}));
    EXPECT_EQ(run("gt", numbers, {{"value", 2.5}}), Ids{"s2"});  // checked against the field's type
    EXPECT_EQ(run("in_", pool_with({"numerical", "event"}), {{"values", fd::id_set_value(fe::IdSet{"event", "x"})}}), Ids{"s1"});
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
