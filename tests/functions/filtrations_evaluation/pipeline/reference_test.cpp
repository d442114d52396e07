#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>

#include "brindlecap/functions/filtrations_evaluation/pipeline/fixtures.hpp"
#include "brindlecap/functions/filtrations_evaluation/pipeline/results.hpp"
#include "brindlecap/functions/filtrations_evaluation/tree/dispatch.hpp"
#include "runtime/value_printer.hpp"

namespace fe = brindlecap::functions::filtrations_evaluation;
namespace fd = brindlecap::functions::filtrations_evaluation::detail;
namespace rt = brindlecap::runtime;
using fe::Dict;
using fe::Value;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

// A pool with one field "f" holding the given values, ids s0, s1, ...
fe::SignalPool pool_with(const std::vector<Value>& values, const std::string& field = "f") {
    fe::SignalPool pool;
    for (std::size_t i = 0; i < values.size(); ++i) {
        pool.insert("s" + std::to_string(i), fe::UsefulSignal::make(Dict{{field, values[i]}}));
    }
    return pool;
}

std::vector<std::string> run(const std::string& op, const fe::SignalPool& pool, const Dict& params) {
    const auto ref = fd::get_reference_operator(op);
    if (!ref) throw std::logic_error("no reference for " + op);
    return fd::dispatch_op(op, *ref, pool, params).sorted();
}

Dict with_value(Value v) { return Dict{{"field", "f"}, {"value", std::move(v)}}; }

}  // namespace

TEST(ReferenceOperators, ExistForTheTwelveLeafOperatorsOnly) {
    for (const char* name : {"gt", "gte", "lt", "lte", "eq", "neq", "between", "in_", "top_n", "bottom_n",
                             "top_pct", "bottom_pct"}) {
        EXPECT_TRUE(fd::get_reference_operator(name).has_value()) << name;
    }
    for (const char* name : {"and_", "or_", "not_", "filtration", "plugin", ""}) {
        EXPECT_FALSE(fd::get_reference_operator(name).has_value()) << name;
    }
}

TEST(ReferenceOperators, OrderingComparisons) {
    const auto pool = pool_with({Value(1), Value(2.5), Value(3)});
    EXPECT_THAT(run("gt", pool, with_value(2.5)), ElementsAre("s2"));
    EXPECT_THAT(run("gte", pool, with_value(2.5)), ElementsAre("s1", "s2"));
    EXPECT_THAT(run("lt", pool, with_value(2.5)), ElementsAre("s0"));
    EXPECT_THAT(run("lte", pool, with_value(2.5)), ElementsAre("s0", "s1"));

    // Strings order lexicographically (called without the field-type check).
    const auto strings = pool_with({Value("apple"), Value("banana")});
    EXPECT_THAT(fe::detail::prepare_and_dispatch(*fd::get_reference_operator("gt"), strings,
                                                 with_value("apricot"), 0, {})
                    .sorted(),
                ElementsAre("s1"));

    // An absent target cannot be ordered against numbers.
    EXPECT_THROW(run("gt", pool, Dict{{"field", "f"}}), rt::TypeError);
}

TEST(ReferenceOperators, EqualityUsesAbsoluteTolerance) {
    const auto pool = pool_with({Value(0.0), Value(1e-13), Value(-1e-12)});
    EXPECT_THAT(run("eq", pool, with_value(0.0)), ElementsAre("s0", "s1"));
    EXPECT_THAT(run("neq", pool, with_value(0.0)), ElementsAre("s2"));

    // A NaN target matches nothing either way.
    EXPECT_THAT(run("eq", pool, with_value(std::nan(""))), IsEmpty());
    EXPECT_THAT(run("neq", pool, with_value(std::nan(""))), IsEmpty());
    // Infinite values are equal to themselves.
    const auto inf = pool_with({Value(HUGE_VAL), Value(1.0)});
    EXPECT_THAT(run("eq", inf, with_value(HUGE_VAL)), ElementsAre("s0"));
    EXPECT_THAT(run("neq", inf, with_value(HUGE_VAL)), ElementsAre("s1"));
    // A target that is no number fails on numbers.
    EXPECT_ANY_THROW(run("eq", pool, with_value("zero")));
}

TEST(ReferenceOperators, BooleansOnlyEqualBooleans) {
    // Field type boolean (the first value decides); the integer 1 is still a number.
    const auto pool = pool_with({Value(true), Value(false), Value(1)});
    EXPECT_THAT(run("eq", pool, with_value(1)), ElementsAre("s2"));
    EXPECT_THAT(run("eq", pool, with_value(true)), ElementsAre("s0", "s2"));
    EXPECT_THAT(run("neq", pool, with_value(true)), ElementsAre("s1"));
    EXPECT_THAT(run("neq", pool, with_value(0)), ElementsAre("s2"));
}

TEST(ReferenceOperators, StringEqualityIsExact) {
    const auto pool = pool_with({Value("Momentum"), Value("momentum"), Value("value")});
    EXPECT_THAT(run("eq", pool, with_value("momentum")), ElementsAre("s1"));
    EXPECT_THAT(run("neq", pool, with_value("momentum")), ElementsAre("s0", "s2"));
    EXPECT_THAT(run("eq", pool, with_value(1)), IsEmpty());
    EXPECT_THAT(run("neq", pool, with_value(1)), ElementsAre("s0", "s1", "s2"));
}

TEST(ReferenceOperators, EqualityNeverHoldsForOtherKinds) {
    // A list field: neither eq nor neq passes any signal.
    fe::SignalPool pool;
    pool.insert("s0", fe::UsefulSignal::make(Dict{{"f", Value::list({"a"})}}));
    pool.insert("s1", fe::UsefulSignal::make(Dict{{"g", 1}}));
    fe::Operator eq = *fd::get_reference_operator("eq");
    fe::Operator neq = *fd::get_reference_operator("neq");
    // Called without the compatibility check (no operator name).
    for (const auto& op : {eq, neq}) {
        EXPECT_TRUE(fe::detail::prepare_and_dispatch(op, pool, with_value(Value::list({"a"})), 0, {}).empty());
    }
}

TEST(ReferenceOperators, BetweenIsInclusive) {
    const auto pool = pool_with({Value(1.0), Value(2.0), Value(2.0), Value(3.0)});
    EXPECT_THAT(run("between", pool, Dict{{"field", "f"}, {"low", 2.0}, {"high", 2.0}}), ElementsAre("s1", "s2"));
    EXPECT_THAT(run("between", pool, Dict{{"field", "f"}, {"low", 1}, {"high", 2.5}}), ElementsAre("s0", "s1", "s2"));
}

TEST(ReferenceOperators, MembershipOnListsAndScalars) {
    fe::SignalPool pool;
    pool.insert("both", fe::UsefulSignal::make(Dict{{"f", Value::list({"latitudinal", "numerical"})}}));
    pool.insert("scalar", fe::UsefulSignal::make(Dict{{"f", "numerical"}}));
    pool.insert("other", fe::UsefulSignal::make(Dict{{"f", Value::list({"event"})}}));
    pool.insert("missing", fe::UsefulSignal::make(Dict{{"g", 1}}));
    const Dict params{{"field", "f"}, {"values", Value::list({"numerical"})}};
    EXPECT_THAT(run("in_", pool, params), ElementsAre("both", "scalar"));
    // Absent values: nothing passes.
    EXPECT_THAT(run("in_", pool, Dict{{"field", "f"}}), IsEmpty());
    // A set object as the values.
    const Dict as_set{{"field", "f"}, {"values", fe::id_set_value(fe::IdSet{"event", "x"})}};
    EXPECT_THAT(run("in_", pool, as_set), ElementsAre("other"));
}

TEST(ReferenceOperators, RankIncludesTiesAtTheCutoff) {
    const auto pool = pool_with({Value(3.0), Value(1.0), Value(1.0), Value(2.0)});
    EXPECT_THAT(run("bottom_n", pool, Dict{{"field", "f"}, {"n", 1}}), ElementsAre("s1", "s2"));
    EXPECT_THAT(run("top_n", pool, Dict{{"field", "f"}, {"n", 2}}), ElementsAre("s0", "s3"));
    EXPECT_THAT(run("top_n", pool, Dict{{"field", "f"}, {"n", 3}}), ElementsAre("s0", "s1", "s2", "s3"));
    // More positions than values selects all; a fractional n is truncated.
    EXPECT_THAT(run("top_n", pool, Dict{{"field", "f"}, {"n", 10}}), ElementsAre("s0", "s1", "s2", "s3"));
    EXPECT_THAT(run("top_n", pool, Dict{{"field", "f"}, {"n", 1.9}}), ElementsAre("s0"));
    // Neither n nor pct: empty.
    EXPECT_THAT(run("top_n", pool, Dict{{"field", "f"}}), IsEmpty());
    EXPECT_THAT(run("bottom_pct", pool, Dict{{"field", "f"}}), IsEmpty());
}

TEST(ReferenceOperators, PercentRankCountsCeilingPositions) {
    // 25 distinct values 0..24, plus a tie with the third-highest.
    std::vector<Value> values;
    for (int i = 0; i < 25; ++i) values.emplace_back(static_cast<double>(i));
    values.emplace_back(22.0);
    const auto pool = pool_with(values);
    // ceil(26 * 0.1) = 3 positions: 24, 23, 22 (and the tied 22).
    EXPECT_THAT(run("top_pct", pool, Dict{{"field", "f"}, {"pct", 0.1}}), ElementsAre("s22", "s23", "s24", "s25"));
    values.pop_back();
    // ceil(25 * 0.1) = 3 positions.
    EXPECT_THAT(run("bottom_pct", pool_with(values), Dict{{"field", "f"}, {"pct", 0.1}}),
                ElementsAre("s0", "s1", "s2"));
    // pct replaces n.
    EXPECT_THAT(run("bottom_pct", pool_with(values), Dict{{"field", "f"}, {"pct", 0.02}, {"n", 10}}),
                ElementsAre("s0"));
}

TEST(ReferenceOperators, TopFiveOnTheCorrectnessPoolReturnsEight) {
    fe::FiltrationEvaluationConfig config;
    config.T = 2;
    config.N_alloc = 2;
    auto rng = brindlecap::numeric::default_rng(0);
    const auto pool = fd::build_correctness_test_pool(config, rng);
    EXPECT_THAT(run("top_n", *pool, Dict{{"field", "is_sharpe"}, {"n", 5}}),
                ElementsAre("test_015", "test_016", "test_017", "test_018", "test_019", "test_tied_000",
                            "test_tied_001", "test_tied_002"));
    // eq 0.0 matches the exact zeros and the near-zero probe.
    EXPECT_THAT(run("eq", *pool, Dict{{"field", "is_sharpe"}, {"value", 0.0}}),
                ElementsAre("test_010", "test_eq_exact", "test_eq_near"));
}

TEST(ReferenceOperators, RankErrorsInsteadOfUndefinedResults) {
    const auto pool = pool_with({Value(1.0), Value(2.0)});
    // NaN pct passes dispatch validation; the reference rejects it.
    try {
        run("top_pct", pool, Dict{{"field", "f"}, {"pct", std::nan("")}});
        FAIL() << "expected FilterValidationError";
    } catch (const fe::FilterValidationError& e) {
        EXPECT_STREQ(e.what(), "pct must be in (0.0, 1.0], got nan");
    }
    // A NaN n cannot be truncated to a count.
    EXPECT_THROW(run("top_n", pool, Dict{{"field", "f"}, {"n", std::nan("")}}), rt::ValueError);

    // Every value NaN: no cutoff exists.
    const auto all_nan = pool_with({Value(std::nan("")), Value(std::nan(""))});
    EXPECT_THROW(run("top_n", all_nan, Dict{{"field", "f"}, {"n", 1}}), rt::ValueError);
    EXPECT_THROW(run("bottom_pct", all_nan, Dict{{"field", "f"}, {"pct", 0.5}}), rt::ValueError);
}
