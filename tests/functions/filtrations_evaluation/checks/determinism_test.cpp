#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <optional>

#include "functions/filtrations_evaluation/checks/check_support.hpp"

namespace {

using namespace brindlecap::test::checks;
namespace ep = brindlecap::functions::evaluation_pipeline;

// Tests that replace the framework's shared bodies.
class DeterminismBodies : public ::testing::Test {
protected:
    // Keeps the canonical bodies, records the context handed to `name` and answers with `answer`.
    static void record(const std::string& name, std::optional<Dict>& seen, ep::SharedCheckResult answer) {
        ep::SharedCheckBodyMap bodies = ep::get_shared_check_body_map();
        bodies[{"filtration", name}] = [&seen, answer](const Dict& context) {
            seen = context;
            return answer;
        };
        ep::override_shared_check_body_map(bodies);
    }
};

// "Kind: text" of what f raises.
template <class F>
std::string raised(F f) {
    try {
        f();
    } catch (const std::exception& e) {
        return rt::error_kind(e) + ": " + rt::error_text(e);
    }
    return "nothing raised";
}

// A gt whose threshold moves after its first call.
fe::Operator remembers_calls(std::atomic<int>& calls) {
    return fe::field_operator("gt", [&calls](const fe::PreparedField& prepared, const Dict&) {
        const double threshold = calls++ == 0 ? 0.0 : 0.5;
        IdSet out = IdSet::over(prepared.pool_keys.universe());
        for (const auto& pv : prepared.values) {
            if (pv.value->as_float() > threshold) out.insert(pv.id);
        }
        return fe::OperatorResult(std::move(out));
    });
}

TEST(DeterminismCheck, TopNIsComparedWithTheReferenceOnTheCutoffTie) {
    auto config = demo_config();
    auto rng = fd::make_rng(4);
    const fe::CheckOutcome builtin_out = fd::run_check_4_determinism("top_n", builtin("top_n"), config, rng);
    EXPECT_EQ(builtin_out.status, fe::CheckStatus::pass) << builtin_out.details;
    EXPECT_EQ(builtin_out.evidence.get("compared_keys"), Value::list({"cutoff_tie", "repeated_call"}));

    // Repeatable, but it drops three of the four signals tied at the fifth place.
    const fe::CheckOutcome cut = fd::run_check_4_determinism("top_n", top_n_without_ties(), config, rng);
    EXPECT_EQ(verdict(cut), "fail: Repeated-call or cutoff-tie determinism diverged.");
    EXPECT_EQ(cut.evidence.get("mismatched_keys"), Value::list({"cutoff_tie"}));

    // Under another name the same operator is only compared with itself.
    EXPECT_EQ(fd::run_check_4_determinism("bottom_n", top_n_without_ties(), config, rng).status, fe::CheckStatus::pass);
}

TEST(DeterminismCheck, HiddenStateAndOperatorErrorsFail) {
    std::atomic<int> calls{0};
    const fe::CheckOutcome out = run_seeded(fd::run_check_4_determinism, "gt", remembers_calls(calls), 4);
    EXPECT_EQ(calls, 2);
    EXPECT_EQ(verdict(out), "fail: Repeated-call or cutoff-tie determinism diverged.");
    EXPECT_EQ(out.evidence.get("mismatched_keys"), Value::list({"repeated_call"}));

    const auto raising = raising_leaf("lt", rt::KeyError(Value("is_sharpe")));
    const fe::CheckOutcome error = run_seeded(fd::run_check_4_determinism, "lt", raising, 4);
    EXPECT_EQ(verdict(error), "fail: Determinism check failed: 'is_sharpe'");
    EXPECT_EQ(rt::repr(Value(error.evidence)), "{'error': \"'is_sharpe'\", 'exception_type': 'KeyError'}");
}

TEST_F(DeterminismBodies, DeterminismContextAndEvidenceMerge) {
    auto config = demo_config();
    std::optional<Dict> seen;
    record("determinism", seen, {"pass", Dict{{"run_count", 7}, {"cutoff_tie_checked", "body's own"}, {"x", 1}}});

    const fe::CheckOutcome out = run_seeded(fd::run_check_4_determinism, "top_n", builtin("top_n"), 1);
    ASSERT_TRUE(seen);
    EXPECT_EQ(seen->get("operator_name"), Value("top_n"));
    EXPECT_EQ(seen->get("observation_context"), Value(Dict{{"repeated_call_count", 2}, {"cutoff_tie_checked", true}}));

    // The outputs are the validated identifier sets: top 5 of the demo pool, and on the tie pool
    // the four graded leaders plus the four signals tied at 5.0.
    auto [pool, category] = fd::build_seeded_operator_fixture("top_n", config);
    const Value repeated = fd::id_set_value(fd::call_operator("top_n", builtin("top_n"), *pool, category));
    const Value tie = fd::id_set_value(IdSet{"test_016", "test_017", "test_018", "test_019", "test_015",
                                             "test_tied_000", "test_tied_001", "test_tied_002"});
    EXPECT_EQ(seen->get("first_output"), Value(Dict{{"repeated_call", repeated}, {"cutoff_tie", tie}}));
    EXPECT_EQ(seen->get("second_output"), Value(Dict{{"repeated_call", repeated}, {"cutoff_tie", tie}}));

    // The body's evidence overwrites equal keys in place; without outputs_match nothing is mirrored.
    EXPECT_EQ(out.status, fe::CheckStatus::pass);
    EXPECT_EQ(out.evidence,
              (Dict{{"run_count", 7}, {"fresh_instance_or_fresh_run", true}, {"cutoff_tie_checked", "body's own"},
                    {"x", 1}}));

    // A fail from the body stays a fail.
    record("determinism", seen, {"fail", Dict{{"outputs_match", true}}});
    const fe::CheckOutcome failed = run_seeded(fd::run_check_4_determinism, "gt", builtin("gt"), 1);
    EXPECT_EQ(verdict(failed), "fail: Repeated-call or cutoff-tie determinism diverged.");
    EXPECT_EQ(failed.evidence.get("runs_identical"), Value(true));
}

TEST_F(DeterminismBodies, MissingOrInvalidBodies) {
    const std::string missing = "\"Missing canonical shared check body: ('filtration', 'determinism')\"";
    ep::override_shared_check_body_map(ep::SharedCheckBodyMap{});
    EXPECT_EQ(raised([] { fd::run_shared_filtration_check("determinism", Dict{}); }), "KeyError: " + missing);

    fe::CheckOutcome out = run_seeded(fd::run_check_4_determinism, "gt", builtin("gt"), 0);
    EXPECT_EQ(verdict(out), "fail: Determinism check failed: " + missing);
    EXPECT_EQ(out.evidence, (Dict{{"error", missing}, {"exception_type", "KeyError"}}));

    for (std::optional<std::string> status : {std::optional<std::string>("skip"), std::optional<std::string>()}) {
        ep::override_shared_check_body_map(ep::SharedCheckBodyMap{
            {{"filtration", "determinism"}, [status](const Dict&) { return ep::SharedCheckResult{status, {}}; }}});
        const std::string invalid = "Canonical shared check body ('filtration', 'determinism') returned an invalid result.";
        EXPECT_EQ(raised([] { fd::run_shared_filtration_check("determinism", Dict{}); }), "TypeError: " + invalid);
        out = run_seeded(fd::run_check_4_determinism, "gt", builtin("gt"), 0);
        EXPECT_EQ(out.status, fe::CheckStatus::fail);
        EXPECT_EQ(out.evidence, (Dict{{"error", invalid}, {"exception_type", "TypeError"}}));
    }
}

}  // namespace
