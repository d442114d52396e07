#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "brindlecap/runtime/log.hpp"
#include "functions/filtrations_evaluation/checks/check_support.hpp"

namespace {

using namespace brindlecap::test::checks;

// A clock that only the operator under test moves: every call advances it by a whole number of
// ticks (a power of two, so sums stay exact).
constexpr double kTick = 1.0 / 1024.0;
double g_now = 0.0;
double fake_clock() { return g_now; }

// Puts the speed check on the fake clock, at 0 (each test ends on the real one).
struct FakeClock {
    FakeClock() {
        g_now = 0.0;
        fd::set_speed_clock(&fake_clock);
    }
};

// A plain-leaf gt that takes ticks(call index) ticks and records the pool it saw.
struct TimedOp {
    std::function<double(int)> ticks = [](int) { return 1.0; };
    int calls = 0;
    std::vector<std::vector<std::string>> pools;  // identifiers of each distinct pool, in order

    fe::Operator op() {
        return fe::field_operator("gt", [this](const fe::PreparedField& prepared, const Dict&) {
            g_now += ticks(calls) * kTick;
            ++calls;
            std::vector<std::string> ids;
            for (const auto& pv : prepared.values) ids.emplace_back(pv.id);
            if (pools.empty() || pools.back() != ids) pools.push_back(std::move(ids));
            return fe::OperatorResult(IdSet::over(prepared.pool_keys.universe()));
        });
    }
};

fe::FiltrationEvaluationConfig small_config(std::int64_t small_T, std::int64_t large_T) {
    fe::FiltrationEvaluationConfig c = synthetic_config();
    c.speed_small_T = small_T;
    c.speed_small_N = 6;
    c.speed_large_T = large_T;
    c.speed_large_N = 9;
    return c;
}

TEST(SpeedCheck, SampledDurationsGiveMedianP99AndThroughput) {
    FakeClock clock;
    TimedOp timed;
    timed.ticks = [](int t) { return static_cast<double>(t + 1); };  // call t takes t + 1 ticks
    const fe::CheckOutcome out = run_seeded(fd::run_check_8_speed, "gt", timed.op(), 0, small_config(100, 10));
    ASSERT_EQ(out.status, fe::CheckStatus::pass) << out.details;
    EXPECT_EQ(timed.calls, 110);
    // Sampled calls t = 0, 2, ..., 98 took 1, 3, ..., 99 ticks: the median is at index 25 and
    // p99 at index 49.
    EXPECT_EQ(out.evidence.get("median_us"), Value(51 * kTick * 1e6));
    EXPECT_EQ(out.evidence.get("p99_us"), Value(99 * kTick * 1e6));
    const double elapsed = 5050 * kTick;
    EXPECT_EQ(out.evidence.get("small_elapsed_s"), Value(elapsed));
    EXPECT_EQ(out.evidence.get("throughput_per_sec"), Value(100 / elapsed));
    EXPECT_EQ(out.evidence.get("large_elapsed_s"), Value(1055 * kTick));  // 101 + ... + 110 ticks

    // One call: a single sample is both median and p99.
    FakeClock single;
    TimedOp one;
    one.ticks = [](int) { return 3.0; };
    const fe::CheckOutcome once = run_seeded(fd::run_check_8_speed, "gt", one.op(), 0, small_config(1, 1));
    EXPECT_EQ(once.evidence.get("median_us"), Value(3 * kTick * 1e6));
    EXPECT_EQ(once.evidence.get("p99_us"), Value(3 * kTick * 1e6));
    EXPECT_EQ(one.calls, 2);
}

TEST(SpeedCheck, BailOutStopsASlowBenchmarkAtTheNextCheckPoint) {
    // 100 calls: check interval 5. Limit 10 ticks, bail point 11 ticks: the test after t = 14
    // (15 ticks) stops the loop.
    FakeClock clock;
    TimedOp timed;
    auto config = small_config(100, 10);
    config.speed_small_limit_s = 10 * kTick;
    const fe::CheckOutcome out = run_seeded(fd::run_check_8_speed, "gt", timed.op(), 0, config);
    EXPECT_EQ(verdict(out), "fail: Small benchmark too slow: 0.015s > 0.009765625s");
    EXPECT_EQ(timed.calls, 15);
    EXPECT_EQ(timed.pools.size(), 1U);  // the large benchmark did not run

    // 5000 calls: check interval 50, so even a limit far below one call runs 50 calls.
    FakeClock again;
    TimedOp many;
    config.speed_small_T = 5000;
    config.speed_small_limit_s = kTick / 4;
    run_seeded(fd::run_check_8_speed, "gt", many.op(), 0, config);
    EXPECT_EQ(many.calls, 50);
}

TEST(SpeedCheck, LimitsAreComparedStrictly) {
    FakeClock clock;
    TimedOp timed;
    auto config = small_config(10, 20);
    config.speed_small_limit_s = 10 * kTick;  // exactly the elapsed time: passes
    config.speed_large_limit_s = 19 * kTick;
    const fe::CheckOutcome out = run_seeded(fd::run_check_8_speed, "gt", timed.op(), 0, config);
    EXPECT_EQ(verdict(out), "fail: Large benchmark too slow: 0.020s > 0.0185546875s");
    EXPECT_EQ(out.evidence.get("large_elapsed_s"), Value(20 * kTick));
    EXPECT_EQ(timed.calls, 30);  // 20 calls stay under the bail point of 20.9 ticks
}

TEST(SpeedCheck, SleepingOperatorIsCutShortOnTheRealClock) {
    int calls = 0;
    auto sleepy = fe::field_operator("lt", [&calls](const fe::PreparedField& prepared, const Dict&) {
        ++calls;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        return fe::OperatorResult(IdSet::over(prepared.pool_keys.universe()));
    });
    auto config = demo_config();
    config.speed_small_limit_s = 0.05;  // 100 calls would take two seconds
    const fe::CheckOutcome out = run_seeded(fd::run_check_8_speed, "lt", sleepy, 0, config);
    EXPECT_EQ(out.status, fe::CheckStatus::fail);
    EXPECT_THAT(out.details, ::testing::StartsWith("Small benchmark too slow: "));
    EXPECT_THAT(out.details, ::testing::EndsWith("s > 0.05s"));
    EXPECT_EQ(calls, 5);  // five calls take at least 0.1 s, past the bail point at the first test
}

TEST(SpeedCheck, FailingCallsAreLoggedTimedAndCounted) {
    FakeClock clock;
    int calls = 0;
    auto raising = fe::field_operator("top_n", [&calls](const fe::PreparedField&, const Dict&) -> fe::OperatorResult {
        ++calls;
        g_now += kTick;
        throw rt::ValueError("no ranking today");
    });
    rt::LogCapture capture;
    const fe::CheckOutcome out = run_seeded(fd::run_check_8_speed, "top_n", raising, 0, small_config(7, 4));
    EXPECT_EQ(out.status, fe::CheckStatus::pass);
    EXPECT_EQ(calls, 11);
    EXPECT_EQ(out.evidence.get("small_elapsed_s"), Value(7 * kTick));
    const auto records = capture.records();
    ASSERT_EQ(records.size(), 11U);
    for (std::size_t i = 0; i < records.size(); ++i) {
        const rt::LogRecord& r = records[i];
        EXPECT_EQ(r.event, "speed_benchmark_iteration_failed");
        EXPECT_EQ(r.fields[1].first, "iteration");
        EXPECT_EQ(r.fields[1].second, Value(static_cast<std::int64_t>(i < 7 ? i : i - 7)));
    }
}

TEST(SpeedCheck, BenchmarkPoolsAreSeededSyntheticPools) {
    TimedOp timed;
    auto config = small_config(2, 2);
    config.seed = 12;
    auto rng = fd::make_rng(0);
    fd::run_check_8_speed("gt", timed.op(), config, rng);
    ASSERT_EQ(timed.pools.size(), 2U);
    ASSERT_EQ(timed.pools[0].size(), 6U);
    EXPECT_EQ(timed.pools[0].front(), "speed_small_0000");
    EXPECT_EQ(timed.pools[1].back(), "speed_large_0008");

    // The same signals as the fixture's synthetic branch from the same seed.
    std::vector<std::vector<Value>> sharpe;
    auto recorder = fe::field_operator("gt", [&sharpe](const fe::PreparedField& prepared, const Dict&) {
        std::vector<Value> v;
        for (const auto& pv : prepared.values) v.push_back(*pv.value);
        sharpe.push_back(std::move(v));
        return fe::OperatorResult(IdSet::over(prepared.pool_keys.universe()));
    });
    fd::run_check_8_speed("gt", recorder, config, rng);
    config.N_signals = 9;
    const auto fixture = fd::generate_synthetic_signals(config);
    ASSERT_EQ(sharpe.size(), 4U);
    ASSERT_EQ(sharpe[3].size(), 9U);
    for (std::size_t i = 0; i < 9; ++i) {
        EXPECT_EQ(sharpe[3][i], fixture->signal(i).metadata->at(Value("is_sharpe")));
        if (i < 6) EXPECT_EQ(sharpe[0][i], sharpe[3][i]);  // both pools start alike
    }
}

TEST(SpeedCheck, ErrorsOutsideTheCallsFailWithTheirKind) {
    auto config = small_config(2, 2);
    config.T = -1;
    const fe::CheckOutcome out = run_seeded(fd::run_check_8_speed, "gt", builtin("gt"), 0, config);
    EXPECT_EQ(verdict(out), "fail: Speed check error: negative dimensions are not allowed");
    EXPECT_EQ(out.evidence.get("exception_type"), Value("ValueError"));
    EXPECT_EQ(out.evidence.get("exception_msg"), Value("negative dimensions are not allowed"));
}

}  // namespace
