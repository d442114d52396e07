#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <tuple>

#include "brindlecap/runtime/log.hpp"
#include "functions/filtrations_evaluation/checks/check_support.hpp"

namespace {

using namespace brindlecap::test::checks;
using ::testing::ElementsAre;
using ::testing::StartsWith;

// A generator advanced by n seed draws, as the trial loop advances the check generator.
num::Generator after_draws(std::uint64_t seed, std::int64_t n) {
    auto g = fd::make_rng(static_cast<std::int64_t>(seed));
    for (std::int64_t i = 0; i < n; ++i) g.integers(0, SEED_BOUND);
    return g;
}

// The lower half of the prepared identifiers by identifier, whatever the parameters say.
fe::Operator half_by_id(const std::string& name) {
    return fe::field_operator(name, [](const fe::PreparedField& prepared, const Dict&) {
        std::vector<std::string> ids;
        for (const auto& pv : prepared.values) ids.emplace_back(pv.id);
        std::sort(ids.begin(), ids.end());
        IdSet out = IdSet::over(prepared.pool_keys.universe());
        for (std::size_t i = 0; i < ids.size() / 2; ++i) out.insert(ids[i]);
        return fe::OperatorResult(std::move(out));
    });
}

// The first half of the prepared values in pool order: right size, wrong identifiers when the
// pool is reordered.
fe::Operator first_half_in_pool_order(const std::string& name) {
    return fe::field_operator(name, [](const fe::PreparedField& prepared, const Dict&) {
        IdSet out = IdSet::over(prepared.pool_keys.universe());
        for (std::size_t i = 0; i < prepared.values.size() / 2; ++i) out.insert(prepared.values[i].id);
        return fe::OperatorResult(std::move(out));
    });
}

fe::Operator always_raises(const std::string& name) { return raising_leaf(name, rt::ValueError("broken operator")); }

std::size_t count_events(const std::vector<rt::LogRecord>& records, const std::string& event) {
    return static_cast<std::size_t>(std::count_if(records.begin(), records.end(),
                                                  [&](const rt::LogRecord& r) { return r.event == event; }));
}

// One bias check on the demo configuration (N_trials 10 unless given 0: the default) from seed.
struct BiasRun {
    fe::CheckOutcome out;
    num::Generator rng;
};
BiasRun bias(const std::string& name, const fe::Operator& op, std::int64_t seed, std::int64_t trials = 10,
             fe::FiltrationEvaluationConfig config = demo_config()) {
    if (trials > 0) config.N_trials = trials;
    auto rng = fd::make_rng(seed);
    fe::CheckOutcome out = fd::run_check_7_bias(name, op, config, rng);
    return {std::move(out), std::move(rng)};
}

TEST(BiasCheck, CombinatorsPassByDefaultWithoutDrawing) {
    for (const std::string name : {"and_", "not_", "filtration"}) {
        const auto [out, rng] = bias(name, builtin(name), 2, 0);
        EXPECT_EQ(verdict(out), "pass: Boolean/wrapper: bias check N/A, pass by default");
        EXPECT_TRUE(same_state(rng, fd::make_rng(2)));
    }
}

TEST(BiasCheck, RankOperatorMeanFractionAgainstTheTolerance) {
    // The demo metadata is the same in every trial: top_pct 0.1 of 24 selects ceil(2.4) = 3.
    const auto [out, rng] = bias("top_pct", builtin("top_pct"), 9, 0);
    EXPECT_EQ(verdict(out), "pass: Bias OK: 0.1250 ~ 0.1000");
    EXPECT_EQ(out.evidence.get("observed_ratio"), Value(0.125));
    EXPECT_TRUE(same_state(rng, after_draws(9, 100)));  // one draw per trial, none by the probe

    // A deviation equal to the tolerance passes; anything beyond fails.
    auto config = demo_config();
    config.bias_tolerance = std::abs(0.125 - 0.1);
    EXPECT_EQ(bias("top_pct", builtin("top_pct"), 9, 0, config).out.status, fe::CheckStatus::pass);
    config.bias_tolerance = std::nextafter(config.bias_tolerance, 0.0);
    const fe::CheckOutcome fails = bias("top_pct", builtin("top_pct"), 9, 0, config).out;
    EXPECT_EQ(verdict(fails), "fail: Bias detected: observed 0.1250 vs expected 0.1000");
    EXPECT_EQ(fails.evidence.get("deviation"), Value(0.125 - 0.1));
}

// One broken operator per way of failing, and the correct or harmless look-alikes.
TEST(BiasCheck, VerdictsOnBiasedOrderDependentAndValueBlindOperators) {
    const auto sharpe_positive = select_where("my_op", [](const Value& v, const Dict&) { return v.as_float() > 0.0; });
    const auto everything = select_where("my_op", [](const Value&, const Dict&) { return true; });
    const auto nothing = fe::field_operator("lt", [](const fe::PreparedField& prepared, const Dict&) {
        return fe::OperatorResult(IdSet::over(prepared.pool_keys.universe()));
    });
    std::size_t positive = 0;
    const auto demo = demo_config();
    for (const auto& [id, metadata] : *demo.signal_metadata) {
        positive += metadata.as_dict().at(Value("is_sharpe")).as_float() > 0.0;
    }
    const std::string positive_ratio = rt::fixed(static_cast<double>(positive) / 24.0, 4);
    const std::vector<std::tuple<const char*, fe::Operator, const char*, std::string>> cases = {
        // top_pct that always takes half of the pool.
        {"top_pct", half_by_id("top_pct"), "fail", "Bias detected: observed 0.5000 vs expected 0.1000"},
        {"gt", first_half_in_pool_order("gt"), "fail", "Mean selection ratio: 0.5000; ID-order dependence detected"},
        // A custom operator: negating the values must change its answer.
        {"my_op", half_by_id("my_op"), "fail", "Bias detected: operator ignores metadata values"},
        {"my_op", sharpe_positive, "pass", "Mean selection ratio: " + positive_ratio},
        // Selecting everything is not evidence of ignoring the values.
        {"my_op", everything, "pass", "Mean selection ratio: 1.0000"},
        // Raising in the probe passes it; raising again in the unguarded ID-order probe fails.
        {"my_op", always_raises("my_op"), "fail", "Exception: broken operator"},
        // A comparison far from one half is reported, never failed on its ratio.
        {"lt", nothing, "pass", "Mean selection ratio: 0.0000"},
    };
    for (const auto& [name, op, status, details] : cases) {
        const auto [out, rng] = bias(name, op, 5);
        EXPECT_EQ(verdict(out), status + (": " + details));
        // Custom operators are probed without the check generator.
        if (std::string(name) == "my_op") EXPECT_TRUE(same_state(rng, fd::make_rng(5)));
    }
}

TEST(BiasCheck, TrialParametersFollowTheOperatorAndSignalCount) {
    std::vector<Dict> seen;
    auto recorder = [&seen](const std::string& name) {
        return fe::field_operator(name, [&seen](const fe::PreparedField& prepared, const Dict& params) {
            seen.push_back(params.copy());
            return fe::OperatorResult(prepared.pool_keys);
        });
    };
    auto config = demo_config();
    config.N_signals = 5;  // 5 // 10 = 0, raised to 1
    bias("top_n", recorder("top_n"), 1, 10, config);
    ASSERT_EQ(seen.size(), 12U);  // ten trials, then the ID-order probe's two calls
    EXPECT_EQ(seen.front(), (Dict{{"field", "is_sharpe"}, {"n", 1}}));
}

TEST(BiasCheck, RankTrialsThatFindNothingAreSkipped) {
    // Empty on the trial parameters only; the ID-order probe (pct 0.5) gets an answer.
    auto op = fe::field_operator("top_pct", [](const fe::PreparedField& prepared, const Dict& params) {
        if (params.at(Value("pct")) == Value(0.1)) throw fe::EmptyFiltrationError("nothing passes");
        return fe::OperatorResult(prepared.pool_keys);
    });
    rt::LogCapture capture;
    const auto [out, rng] = bias("top_pct", op, 3);
    EXPECT_EQ(verdict(out), "pass: Bias check");
    EXPECT_THAT(key_texts(out.evidence), ElementsAre("id_order_independent"));
    EXPECT_TRUE(same_state(rng, after_draws(3, 10)));
    const auto records = capture.records();
    ASSERT_EQ(records.size(), 10U);
    EXPECT_EQ(records.front().event, "rank_bias_trial_empty_filtration");
    EXPECT_EQ(records.front().level, rt::LogLevel::debug);
}

TEST(BiasCheck, RankTrialsThatAllRaiseFailWithTheFirstError) {
    rt::LogCapture capture;
    const fe::CheckOutcome out = bias("bottom_n", always_raises("bottom_n"), 3).out;
    EXPECT_EQ(verdict(out),
              "fail: Bias check failed because rank trials raised under the evaluation boilerplate; "
              "ID-order probe raised under the evaluation boilerplate; ID-order dependence detected");
    EXPECT_EQ(out.evidence.get("operator_error"), Value("broken operator"));
    EXPECT_EQ(out.evidence.get("id_order_error"), Value("broken operator"));
    EXPECT_EQ(out.evidence.get("id_order_independent"), Value(false));
    EXPECT_EQ(count_events(capture.records(), "rank_bias_trial_failed"), 10U);
}

TEST(BiasCheck, ComparisonTrialFailuresAreCounted) {
    rt::LogCapture capture;
    const auto [broken, rng] = bias("eq", always_raises("eq"), 6, 15);
    EXPECT_EQ(broken.status, fe::CheckStatus::fail);
    EXPECT_THAT(broken.details,
                StartsWith("Bias check failed because comparison trials raised under the evaluation boilerplate; "));
    EXPECT_EQ(broken.evidence.get("operator_error"), Value("comparison trial failed"));
    EXPECT_EQ(broken.evidence.get("failed_trials"), Value(15));
    EXPECT_EQ(count_events(capture.records(), "comparison_performance_trial_failed"), 15U);
    EXPECT_TRUE(same_state(rng, after_draws(6, 15)));
}

TEST(BiasCheck, NegatedPoolKeepsEverythingButTheSharpeSign) {
    // An operator that sees the negated values selects the mirror image.
    std::vector<std::vector<double>> seen;
    auto op = fe::field_operator("probe", [&seen](const fe::PreparedField& prepared, const Dict&) {
        std::vector<double> values;
        for (const auto& pv : prepared.values) values.push_back(pv.value->as_float());
        seen.push_back(std::move(values));
        return fe::OperatorResult(IdSet::over(prepared.pool_keys.universe()));
    });
    auto config = demo_config();
    auto rng = fd::make_rng(1);
    fd::run_check_7_bias("probe", op, config, rng);
    ASSERT_GE(seen.size(), 2U);
    ASSERT_EQ(seen[0].size(), 24U);
    std::vector<double> negated;
    for (double v : seen[0]) negated.push_back(-v);
    EXPECT_EQ(seen[1], negated);
    // The caller's metadata is untouched.
    EXPECT_EQ(config.signal_metadata->at(Value("synth_0000")).as_dict().at(Value("is_sharpe")), Value(seen[0][0]));
}

TEST(BiasCheck, ErrorsOutsideTheTrialsEndTheCheck) {
    fe::FiltrationEvaluationConfig real;
    real.mode = "real";
    const auto [out, rng] = bias("gt", builtin("gt"), 1, 0, real);
    EXPECT_EQ(verdict(out),
              "fail: Exception: signal_metadata is required after real-mode ingestion; synthetic signal metadata is not "
              "allowed in mode='real'.");
    // The first trial drew its seed before the pool failed.
    EXPECT_TRUE(same_state(rng, after_draws(1, 1)));
}

}  // namespace
