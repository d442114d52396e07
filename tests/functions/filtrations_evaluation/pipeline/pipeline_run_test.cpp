// Whole runs of the driver with the real acceptance checks.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "brindlecap/functions/evaluation_pipeline/check_registry.hpp"
#include "brindlecap/functions/filtrations_evaluation/pipeline/driver.hpp"
#include "brindlecap/functions/filtrations_evaluation/pipeline/fixtures.hpp"
#include "functions/filtrations_evaluation/pipeline/golden_pool.hpp"
#include "runtime/value_printer.hpp"

namespace fe = brindlecap::functions::filtrations_evaluation;
namespace ep = brindlecap::functions::evaluation_pipeline;
namespace rs = brindlecap::functions::registry_and_store;
using fe::Dict;
using fe::Value;

namespace {

fe::FiltrationEvaluationConfig small_config(std::set<std::int64_t> skip = {}, std::set<std::int64_t> info = {}) {
    fe::FiltrationEvaluationConfig c;
    c.mode = "mock";
    c.seed = 3;
    c.T = 4;
    c.N_alloc = 3;
    c.N_trials = 10;
    c.speed_small_T = c.speed_large_T = 5;
    c.speed_small_N = 10;
    c.speed_large_N = 20;
    c.mock_signals = brindlecap::test::mock_signals(12);
    c.skip_checks = std::move(skip);
    c.info_checks = std::move(info);
    return c;
}

std::vector<fe::EvalFiltrationConfig> ops(std::initializer_list<const char*> names) {
    std::vector<fe::EvalFiltrationConfig> out;
    for (const char* n : names) out.push_back({n, std::nullopt});
    return out;
}

// The default store plus a comparison that returns an identifier outside the pool.
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

// Every check's name, status, details and printed evidence (NaN defaults never compare equal).
std::vector<std::string> outcomes(const fe::OperatorCheckResult& r) {
    std::vector<std::string> out;
    for (const auto& [name, o] : r.checks) out.push_back(name + ":" + o.status + ":" + o.details + ":" + brindlecap::runtime::repr(Value(o.evidence)));
    return out;
}

// The first three canonical checks only (the others are covered by their own tests).
class PipelineRunTest : public ::testing::Test {
protected:
    void SetUp() override {
        fe::clear_check_plugins();
        ep::override_check_registry_entries(std::vector<ep::CheckEntry>{{1, "contract"}, {2, "correctness"}, {3, "nan_handling"}});
    }
    void TearDown() override { ep::override_check_registry_entries(std::nullopt); }
    const rs::FunctionStore store = store_with_broken_gt();
};

}  // namespace

TEST_F(PipelineRunTest, BuiltInOperatorsAreAccepted) {
    auto c = small_config();
    for (const auto& [name, r] : fe::evaluate(c, ops({"gt", "in_", "top_n", "and_", "filtration"}), &store).operator_results) {
        EXPECT_TRUE(r.accepted) << name << ": " << ::testing::PrintToString(outcomes(r));
        EXPECT_EQ(r.checks.size(), 3U);
    }
}

TEST_F(PipelineRunTest, InfoAndSkippedChecksAndRepeatedRuns) {
    auto c = small_config();
    const auto rejected = fe::evaluate(c, ops({"broken_gt"}), &store).operator_results[0].second;
    EXPECT_FALSE(rejected.accepted);
    EXPECT_EQ(rejected.check("contract")->status, "fail");
    // Info checks never reject and change no outcome.
    auto informed_config = small_config({}, {1, 2, 3});
    const auto informed = fe::evaluate(informed_config, ops({"broken_gt"}), &store).operator_results[0].second;
    EXPECT_TRUE(informed.accepted);
    EXPECT_EQ(outcomes(informed), outcomes(rejected));
    // A skipped check is recorded; the others still count.
    auto skipping = small_config({1});
    const auto skipped = fe::evaluate(skipping, ops({"broken_gt"}), &store).operator_results[0].second;
    EXPECT_EQ(skipped.check("contract")->details, "Check 1 skipped");
    EXPECT_EQ(skipped.check("correctness")->status, "fail");
    EXPECT_FALSE(skipped.accepted);

    // Two runs with the same configuration give the same outcomes.
    auto first_config = small_config(), second_config = small_config();
    const auto first = fe::evaluate(first_config, ops({"broken_gt", "top_pct", "not_"}), &store);
    const auto second = fe::evaluate(second_config, ops({"broken_gt", "top_pct", "not_"}), &store);
    ASSERT_EQ(first.operator_results.size(), 3U);
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(outcomes(first.operator_results[i].second), outcomes(second.operator_results[i].second));
        EXPECT_EQ(first.operator_results[i].second.accepted, second.operator_results[i].second.accepted);
    }
}
