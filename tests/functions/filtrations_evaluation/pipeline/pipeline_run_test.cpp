// Whole runs of the driver with the real acceptance checks.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "brindlecap/functions/evaluation_pipeline/check_registry.hpp"
#include "brindlecap/functions/filtrations_evaluation/pipeline/driver.hpp"
#include "brindlecap/functions/filtrations_evaluation/pipeline/fixtures.hpp"
#include "brindlecap/runtime/text.hpp"
#include "runtime/value_printer.hpp"

namespace fe = brindlecap::functions::filtrations_evaluation;
namespace fd = brindlecap::functions::filtrations_evaluation::detail;
namespace ep = brindlecap::functions::evaluation_pipeline;
namespace rs = brindlecap::functions::registry_and_store;
namespace eu = brindlecap::functions::evaluation_utils;
using fe::Dict;
using fe::IdSet;
using fe::Value;

namespace {

Dict mock_signals(int n) {
    Dict out;
    for (int i = 0; i < n; ++i) {
        out.set(Value("sig_" + std::to_string(i)),
                Dict{{"is_sharpe", 0.25 * i - 1.0},
                     {"is_returns", 0.01 * i},
                     {"is_turnover", 0.1 * i},
                     {"rotation_families_used", Value::list({i % 2 ? "numerical" : "event"})},
                     {"expression_complexity", i + 1},
                     {"submission_date", 1.7e9 + 1000.0 * i},
                     {"is_active", i % 3 == 0},
                     {"signal_category", i % 2 ? "momentum" : "value"}});
    }
    return out;
}

fe::FiltrationEvaluationConfig small_config() {
    fe::FiltrationEvaluationConfig c;
    c.mode = "mock";
    c.seed = 3;
    c.T = 4;
    c.N_alloc = 3;
    c.N_trials = 10;
    c.speed_small_T = 5;
    c.speed_small_N = 10;
    c.speed_large_T = 5;
    c.speed_large_N = 20;
    c.mock_signals = mock_signals(12);
    return c;
}

std::vector<fe::EvalFiltrationConfig> ops(std::initializer_list<const char*> names) {
    std::vector<fe::EvalFiltrationConfig> out;
    for (const char* n : names) out.push_back({n, std::nullopt});
    return out;
}

// A comparison that also returns an identifier outside the pool.
rs::FunctionStore store_with_broken_gt() {
    rs::FunctionStore store = rs::build_default_store();
    rs::StoreEntry e = store.get_entry("gt");
    e.name = "broken_gt";
    e.factory = fe::field_operator("broken_gt", [](const fe::PreparedField&, const Dict&) -> fe::OperatorResult {
        return Value::list({"not_a_signal"});
    });
    store.register_entry(std::move(e));
    return store;
}

std::vector<std::string> statuses(const fe::OperatorCheckResult& r) {
    std::vector<std::string> out;
    for (const auto& [name, outcome] : r.checks) out.push_back(name + ":" + outcome.status);
    return out;
}

// The first three canonical checks only (the others are covered by their own tests).
class PipelineRunTest : public ::testing::Test {
protected:
    void SetUp() override {
        fe::clear_check_plugins();
        ep::override_check_registry_entries(
            std::vector<ep::CheckEntry>{{1, "contract"}, {2, "correctness"}, {3, "nan_handling"}});
    }
    void TearDown() override { ep::override_check_registry_entries(std::nullopt); }
};

}  // namespace

TEST_F(PipelineRunTest, BuiltInOperatorsAreAccepted) {
    const rs::FunctionStore store = rs::build_default_store();
    auto c = small_config();
    const auto result = fe::evaluate(c, ops({"gt", "in_", "top_n", "and_", "filtration"}), &store);
    for (const auto& [name, r] : result.operator_results) {
        EXPECT_TRUE(r.accepted) << name << ": " << ::testing::PrintToString(statuses(r));
        EXPECT_EQ(r.checks.size(), 3U);
    }
}

TEST_F(PipelineRunTest, InfoChecksNeverReject) {
    const rs::FunctionStore store = store_with_broken_gt();
    auto c = small_config();
    auto result = fe::evaluate(c, ops({"broken_gt"}), &store);
    const fe::OperatorCheckResult rejected = result.operator_results[0].second;
    EXPECT_FALSE(rejected.accepted);
    EXPECT_EQ(rejected.check("contract")->status, "fail");

    c = small_config();
    c.info_checks = {1, 2, 3};
    result = fe::evaluate(c, ops({"broken_gt"}), &store);
    const auto& informed = result.operator_results[0].second;
    EXPECT_TRUE(informed.accepted);
    EXPECT_EQ(statuses(informed), statuses(rejected));
}

TEST_F(PipelineRunTest, SkippedCheckIsRecordedAndOthersStillRun) {
    const rs::FunctionStore store = store_with_broken_gt();
    auto c = small_config();
    c.skip_checks = {1};
    const auto result = fe::evaluate(c, ops({"broken_gt"}), &store);
    const auto& r = result.operator_results[0].second;
    EXPECT_EQ(r.check("contract")->status, "skip");
    EXPECT_EQ(r.check("contract")->details, "Check 1 skipped");
    EXPECT_EQ(r.check("correctness")->status, "fail");  // still counted
    EXPECT_FALSE(r.accepted);
}

TEST_F(PipelineRunTest, RepeatedRunsGiveTheSameOutcomes) {
    const rs::FunctionStore store = store_with_broken_gt();
    auto first_config = small_config();
    auto second_config = small_config();
    const auto first = fe::evaluate(first_config, ops({"broken_gt", "top_pct", "not_"}), &store);
    const auto second = fe::evaluate(second_config, ops({"broken_gt", "top_pct", "not_"}), &store);
    ASSERT_EQ(first.operator_results.size(), second.operator_results.size());
    for (std::size_t i = 0; i < first.operator_results.size(); ++i) {
        const auto& a = first.operator_results[i].second;
        const auto& b = second.operator_results[i].second;
        EXPECT_EQ(a.accepted, b.accepted);
        ASSERT_EQ(a.checks.size(), b.checks.size());
        for (std::size_t k = 0; k < a.checks.size(); ++k) {
            EXPECT_EQ(a.checks[k].second.status, b.checks[k].second.status);
            EXPECT_EQ(a.checks[k].second.details, b.checks[k].second.details);
            // NaN defaults never compare equal, so compare the printed evidence.
            EXPECT_EQ(brindlecap::runtime::repr(Value(a.checks[k].second.evidence)),
                      brindlecap::runtime::repr(Value(b.checks[k].second.evidence)))
                << a.checks[k].first;
        }
    }
}
