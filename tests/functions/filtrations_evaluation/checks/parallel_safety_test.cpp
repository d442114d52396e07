#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <set>
#include <thread>

#include "functions/filtrations_evaluation/checks/check_support.hpp"

namespace {

using namespace brindlecap::test::checks;
namespace ep = brindlecap::functions::evaluation_pipeline;

using ParallelBodies = ::testing::Test;

// A gt that works on the thread that created it and raises anywhere else.
fe::Operator only_on_creating_thread() {
    return select_where("gt", [owner = std::this_thread::get_id()](const Value& v, const Dict&) {
        if (std::this_thread::get_id() != owner) throw rt::RuntimeError("called off the owning thread");
        return v.as_float() > 0.0;
    });
}

// A gt that selects every signal on its first call and none afterwards.
fe::Operator counts_calls(std::atomic<int>& calls) {
    return fe::field_operator("gt", [&calls](const fe::PreparedField& prepared, const Dict&) {
        IdSet out = IdSet::over(prepared.pool_keys.universe());
        if (calls++ == 0) {
            for (const auto& pv : prepared.values) out.insert(pv.id);
        }
        return fe::OperatorResult(std::move(out));
    });
}

TEST(ParallelSafetyCheck, BuiltInOperatorsMatchTheBaseline) {
    auto config = demo_config();
    auto rng = fd::make_rng(5);
    for (const char* name : {"top_pct", "in_", "or_", "filtration"}) {
        SCOPED_TRACE(name);
        const fe::CheckOutcome out = fd::run_check_5_parallel_safety(name, builtin(name), config, rng);
        EXPECT_EQ(rt::repr(Value(out.evidence)),
                  "{'parallel_safety': True, 'fresh_instance_or_fresh_run': True, 'results_match': True, "
                  "'result_count': 3, 'mismatched_indices': []}");
    }
}

TEST(ParallelSafetyCheck, OperatorFailingOffTheCallersThreadIsCaught) {
    auto config = demo_config();
    auto rng = fd::make_rng(5);
    const fe::Operator op = only_on_creating_thread();

    EXPECT_EQ(fd::run_check_4_determinism("gt", op, config, rng).status, fe::CheckStatus::pass);

    const fe::CheckOutcome out = fd::run_check_5_parallel_safety("gt", op, config, rng);
    EXPECT_EQ(verdict(out), "fail: Parallel safety check failed: called off the owning thread");
}

TEST(ParallelSafetyCheck, HiddenStateDivergesFromTheBaseline) {
    std::atomic<int> calls{0};
    const fe::CheckOutcome out = run_seeded(fd::run_check_5_parallel_safety, "gt", counts_calls(calls), 5);
    EXPECT_EQ(calls, 3);
    EXPECT_EQ(verdict(out), "fail: Parallel independent calls diverged from the seeded baseline.");
    EXPECT_EQ(out.evidence.get("mismatched_indices"), Value::list({1, 2}));
    EXPECT_EQ(out.evidence.get("parallel_safety"), Value(false));
}

TEST(ParallelSafetyCheck, TwoWorkersRunAtOnceOffTheCallersThread) {
    std::mutex mutex;
    std::condition_variable arrived;
    std::vector<std::thread::id> callers;
    int met = 0;

    // A worker call waits (bounded) until the other worker call has started as well.
    auto rendezvous = fe::field_operator("lt", [&](const fe::PreparedField& prepared, const Dict&) {
        {
            std::unique_lock lock(mutex);
            callers.push_back(std::this_thread::get_id());
            arrived.notify_all();
            if (callers.size() >= 2 &&
                arrived.wait_for(lock, std::chrono::seconds(10), [&] { return callers.size() == 3; })) {
                ++met;
            }
        }
        IdSet out = IdSet::over(prepared.pool_keys.universe());
        for (const auto& pv : prepared.values) {
            if (pv.value->as_float() < 0.0) out.insert(pv.id);
        }
        return fe::OperatorResult(std::move(out));
    });

    const fe::CheckOutcome out = run_seeded(fd::run_check_5_parallel_safety, "lt", rendezvous, 5);
    EXPECT_EQ(out.status, fe::CheckStatus::pass) << out.details;
    ASSERT_EQ(callers.size(), 3U);
    EXPECT_EQ(met, 2);
    EXPECT_EQ(callers[0], std::this_thread::get_id());
    const std::set<std::thread::id> workers{callers[1], callers[2]};
    EXPECT_EQ(workers.size(), 2U);
    EXPECT_FALSE(workers.contains(std::this_thread::get_id()));
}

TEST(ParallelSafetyCheck, AWorkerErrorIsRaisedAfterBothWorkersFinish) {
    std::atomic<int> calls{0}, finished{0};
    // The first worker call raises at once; the other one is still running and must be waited for
    // before the check returns (it refers to this frame).
    auto op = fe::field_operator("gt", [&calls, &finished](const fe::PreparedField& prepared, const Dict&) {
        const int n = calls++;
        if (n == 1) throw rt::ValueError("worker failed");
        if (n == 2) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            ++finished;
        }
        return fe::OperatorResult(IdSet::over(prepared.pool_keys.universe()));
    });
    const fe::CheckOutcome out = run_seeded(fd::run_check_5_parallel_safety, "gt", op, 5);
    EXPECT_EQ(finished, 1);
    EXPECT_EQ(verdict(out), "fail: Parallel safety check failed: worker failed");
    EXPECT_EQ(out.evidence.get("exception_type"), Value("ValueError"));
}

TEST_F(ParallelBodies, ContextHandedToTheSharedBody) {
    auto config = demo_config();
    std::optional<Dict> seen;
    ep::override_shared_check_body_map(ep::SharedCheckBodyMap{
        {{"filtration", "parallel_safety"}, [&seen](const Dict& context) {
             seen = context;
             return ep::SharedCheckResult{"fail", Dict{{"parallel_safety", "body's own"}, {"extra", 1}}};
         }}});

    const fe::CheckOutcome out = run_seeded(fd::run_check_5_parallel_safety, "bottom_n", builtin("bottom_n"), 2);
    ASSERT_TRUE(seen);
    EXPECT_EQ(seen->get("observation_context"), Value(Dict{{"baseline_count", 1}, {"worker_count", 2}}));

    auto [pool, category] = fd::build_seeded_operator_fixture("bottom_n", config);
    const Value expected = fd::id_set_value(fd::call_operator("bottom_n", builtin("bottom_n"), *pool, category));
    EXPECT_EQ(seen->get("thread_results"), Value::list({expected, expected, expected}));

    EXPECT_EQ(verdict(out), "fail: Parallel independent calls diverged from the seeded baseline.");
    EXPECT_EQ(rt::repr(Value(out.evidence)),
              "{'parallel_safety': \"body's own\", 'fresh_instance_or_fresh_run': True, 'extra': 1}");

    ep::override_shared_check_body_map(ep::SharedCheckBodyMap{});
    const fe::CheckOutcome missing = run_seeded(fd::run_check_5_parallel_safety, "gt", builtin("gt"), 2);
    const std::string text = "\"Missing canonical shared check body: ('filtration', 'parallel_safety')\"";
    EXPECT_EQ(missing.details, "Parallel safety check failed: " + text);
    EXPECT_EQ(missing.evidence.get("exception_type"), Value("KeyError"));
}

}  // namespace
