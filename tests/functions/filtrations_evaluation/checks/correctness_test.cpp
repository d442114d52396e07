#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "brindlecap/runtime/log.hpp"
#include "functions/filtrations_evaluation/checks/check_support.hpp"

namespace {

using namespace brindlecap::test::checks;
using Cases = std::vector<fe::CorrectnessTestCase>;

fe::CheckOutcome correctness(const std::string& name, const fe::Operator& op, std::int64_t seed,
                             const std::optional<Cases>& cases = std::nullopt) {
    auto config = demo_config();
    auto rng = fd::make_rng(seed);
    return fd::run_check_3_correctness(name, op, config, rng, cases);
}

TEST(CorrectnessCheck, BrokenOperatorsAndOperatorsWithoutOracle) {
    // n 1 has a single top value; n 5 has a four-way tie at the cutoff.
    EXPECT_EQ(verdict(correctness("top_n", top_n_without_ties(), 7)), "fail: Correctness check for top_n: 1/2");
    const fe::CheckOutcome out = correctness("my_plugin_op", builtin("gt"), 1);
    EXPECT_EQ(verdict(out), "fail: Correctness check for my_plugin_op: 0/1");
    EXPECT_EQ(out.evidence.get("missing_correctness_oracle"), Value(true));
}

TEST(CorrectnessCheck, CombinatorsAreJudgedByExpectedSets) {
    // A not_ that returns its child instead of the complement; captures what it was given.
    std::size_t universe = 0;
    IdSet child;
    auto wrong_not = fe::combinator_operator("not_", [&](const IdSet& keys, const Dict&, const std::vector<IdSet>& children) {
        universe = keys.size();
        child = children.at(0);
        return fe::OperatorResult(children.at(0));
    });
    EXPECT_EQ(verdict(correctness("not_", wrong_not, 9)), "fail: Correctness check for not_: 0/1");
    EXPECT_EQ(universe, 25U);
    EXPECT_EQ(child, ids({"test_000", "test_001", "test_002", "test_003", "test_004"}));

    // An error becomes a warning with the trace; the test still counts.
    rt::LogCapture capture;
    auto raising = fe::combinator_operator("or_", [](const IdSet&, const Dict&, const std::vector<IdSet>&) -> fe::OperatorResult {
        throw rt::RuntimeError("combinator down");
    });
    EXPECT_EQ(verdict(correctness("or_", raising, 9)), "fail: Correctness check for or_: 0/1");
    const auto records = capture.records();
    ASSERT_EQ(records.size(), 1U);
    EXPECT_EQ(records[0].event, "boolean_correctness_check_failed");
}

TEST(CorrectnessCheck, CustomCases) {
    using Entry = fe::CorrectnessTestCase::PoolEntry;
    fe::CorrectnessTestCase missing;
    missing.params = Dict{{"field", "is_sharpe"}, {"value", 0.0}};

    fe::CorrectnessTestCase passing;
    passing.pool = std::vector<std::pair<std::string, Entry>>{
        {"a", Dict{{"is_sharpe", 1.0}}},
        {"b", Dict{{"is_sharpe", -1.0}}},
        {"c", fe::UsefulSignal::make(Dict{{"is_sharpe", 2.0}})},
    };
    passing.params = Dict{{"field", "is_sharpe"}, {"value", 0.0}};
    passing.expected = ids({"a", "c"});

    EXPECT_EQ(verdict(correctness("gt", builtin("gt"), 4, Cases{missing, passing})),
              "fail: Custom cases missing explicit expected result: 1; Custom cases: 1/2 passed");

    // Without a pool the case runs on the check's synthetic pool (the demo signals).
    fe::CorrectnessTestCase on_default;
    on_default.params = Dict{{"field", "is_sharpe"}, {"n", 1}};
    std::string best;
    double best_value = -1e300;
    const Dict demo = *demo_config().signal_metadata;
    for (const auto& [id, metadata] : demo) {
        const double v = metadata.as_dict().at(Value("is_sharpe")).as_float();
        if (v > best_value) {
            best_value = v;
            best = id.as_str();
        }
    }
    on_default.expected = IdSet(std::vector<std::string>{best});
    fe::CorrectnessTestCase wrong = on_default;
    wrong.expected = ids({"synth_0000", "synth_0001"});
    EXPECT_EQ(verdict(correctness("top_n", builtin("top_n"), 4, Cases{on_default, wrong})),
              "fail: Custom cases: 1/2 passed");

    // Combinators get the case's children, or one empty child by default.
    fe::CorrectnessTestCase with_children;
    with_children.pool = std::vector<std::pair<std::string, Entry>>{{"a", Dict{}}, {"b", Dict{}}, {"c", Dict{}}};
    with_children.children_results = std::vector<IdSet>{ids({"a", "b"}), ids({"b", "c"})};
    with_children.expected = ids({"b"});
    fe::CorrectnessTestCase default_child;
    default_child.pool = with_children.pool;
    default_child.expected = ids({"a", "b", "c"});
    EXPECT_EQ(verdict(correctness("not_", builtin("not_"), 4, Cases{default_child})), "pass: Custom cases: 1/1 passed");
    EXPECT_EQ(verdict(correctness("and_", builtin("and_"), 4, Cases{with_children})), "pass: Custom cases: 1/1 passed");
}

TEST(CorrectnessCheck, CustomCaseErrorsAreLoggedAndCountAsFailures) {
    fe::CorrectnessTestCase bad_field;
    bad_field.params = Dict{{"field", "no_such_field"}, {"value", 0.0}};
    bad_field.expected = IdSet{};

    rt::LogCapture capture;
    EXPECT_EQ(verdict(correctness("gte", builtin("gte"), 4, Cases{bad_field})), "fail: Custom cases: 0/1 passed");
    const auto records = capture.records();
    ASSERT_EQ(records.size(), 1U);
    EXPECT_EQ(records[0].event, "correctness_test_case_failed");
    EXPECT_TRUE(records[0].has_exc);
    EXPECT_EQ(records[0].exc_kind, "FilterValidationError");
}

TEST(CorrectnessCheck, DrawsTwoSeedsInDefaultModeAndOneWithCases) {
    auto config = demo_config();
    fe::CorrectnessTestCase tc;
    tc.params = Dict{{"field", "is_sharpe"}, {"value", 100.0}};
    tc.expected = IdSet{};

    auto rng = fd::make_rng(42);
    auto expected = fd::make_rng(42);
    fd::run_check_3_correctness("gt", builtin("gt"), config, rng);
    expected.integers(0, SEED_BOUND);
    expected.integers(0, SEED_BOUND);
    EXPECT_TRUE(same_state(rng, expected));

    const fe::CheckOutcome custom = fd::run_check_3_correctness("gt", builtin("gt"), config, rng, Cases{tc});
    EXPECT_EQ(custom.status, fe::CheckStatus::pass);
    expected.integers(0, SEED_BOUND);
    EXPECT_TRUE(same_state(rng, expected));

    // An empty list of cases runs the default mode.
    const fe::CheckOutcome empty = fd::run_check_3_correctness("gt", builtin("gt"), config, rng, Cases{});
    EXPECT_EQ(empty.details, "Correctness check for gt: 3/3");
    expected.integers(0, SEED_BOUND);
    expected.integers(0, SEED_BOUND);
    EXPECT_TRUE(same_state(rng, expected));
}

TEST(CorrectnessCheck, PoolErrorsAbortWithTextOnly) {
    fe::FiltrationEvaluationConfig real;
    real.mode = "real";
    auto rng = fd::make_rng(0);
    const fe::CheckOutcome out = fd::run_check_3_correctness("gt", builtin("gt"), real, rng);
    const std::string text =
        "signal_metadata is required after real-mode ingestion; synthetic signal metadata is not allowed "
        "in mode='real'.";
    EXPECT_EQ(verdict(out), "fail: Exception: " + text);
    EXPECT_EQ(out.evidence.get("error"), Value(text));
}

}  // namespace
