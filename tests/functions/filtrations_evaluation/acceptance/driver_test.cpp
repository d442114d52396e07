#include "brindlecap/functions/filtrations_evaluation/acceptance/evaluate.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "functions/filtrations_evaluation/checks/check_support.hpp"

namespace {

using namespace brindlecap::test::checks;
namespace ep = brindlecap::functions::evaluation_pipeline;
namespace rs = brindlecap::functions::registry_and_store;
namespace eu = brindlecap::functions::evaluation_utils;
using ::testing::ElementsAre;

fe::FiltrationEvaluationConfig mock_config() {
    fe::FiltrationEvaluationConfig c;
    c.mode = "mock";
    c.seed = 5;
    c.T = 3;
    c.N_alloc = 2;
    c.mock_signals = brindlecap::test::mock_signals(10);
    return c;
}

// Operators that select every key, under the given names and data types.
rs::FunctionStore store_of(const std::vector<std::pair<std::string, Value>>& ops) {
    rs::FunctionStore store;
    for (const auto& [name, data_type] : ops) {
        store.register_entry(rs::StoreEntry{
            name, "filtration", fe::plain_operator(name, [](const IdSet& keys, const Dict&) -> fe::OperatorResult { return keys; }),
            "", "", data_type});
    }
    return store;
}

std::vector<fe::EvalFiltrationConfig> ops(std::initializer_list<const char*> names) {
    std::vector<fe::EvalFiltrationConfig> out;
    for (const char* n : names) out.push_back({n, std::nullopt});
    return out;
}

using brindlecap::test::value_error;

// Runs with the plug-ins registered by each test and no canonical checks unless a test restores them.
class DriverTest : public ::testing::Test {
protected:
    void SetUp() override { ep::override_check_registry_entries(std::vector<ep::CheckEntry>{}); }
};


TEST_F(DriverTest, SelectionAndOperatorMessages) {
    const auto store = store_of({{"alpha", {}}, {"mid", {}}});
    EXPECT_EQ(value_error([&] { auto c = mock_config(); fe::evaluate(c, std::nullopt, store); }),
              "max() arg is an empty sequence");  // no canonical checks and no plug-ins
    ep::override_check_registry_entries(std::nullopt);
    const auto message = [&](std::set<std::int64_t> skip, std::set<std::int64_t> info, auto configs, const rs::FunctionStore* s) {
        auto c = mock_config();
        c.skip_checks = skip;
        c.info_checks = info;
        return value_error([&] { fd::evaluate(c, configs, s); });
    };
    const std::optional<std::vector<fe::EvalFiltrationConfig>> all;
    const rs::FunctionStore empty;
    EXPECT_EQ(message({9}, {}, all, &store), "skip_checks values must be in [1, 8]. Got invalid: {9}.");
    EXPECT_EQ(message({}, {12, 0, 3}, all, &store), "info_checks values must be in [1, 8]. Got invalid: {0, 12}.");
    EXPECT_EQ(message({3}, {3, 5}, all, &store), "skip_checks and info_checks must not overlap. Overlap: {3}.");
    EXPECT_EQ(message({}, {}, ops({"alpha", "mid", "alpha"}), &store), "Duplicate filtration operator identity: 'alpha'");
    EXPECT_EQ(message({}, {}, ops({"alpha", "nope"}), &store), "Filtration operator 'nope' not found in store.");
    EXPECT_EQ(message({}, {}, all, &empty), "No filtration operators found in store.");
    EXPECT_EQ(message({}, {}, all, nullptr), "store (FunctionStore) is required.");

    // A registered plug-in makes 9 valid; skipping everything runs nothing.
    add_plugin("extra", [](auto&, auto&, auto&) -> fe::CheckOutcome { throw std::logic_error("must not run"); });
    auto c = mock_config();
    c.skip_checks = {1, 2, 3, 4, 5, 6, 7, 8, 9};
    const auto result = fe::evaluate(c, ops({"mid"}), store);
    ASSERT_EQ(result.operator_results.size(), 1U);
    const auto& checks = result.operator_results[0].second.checks;
    ASSERT_EQ(checks.size(), 9U);
    EXPECT_EQ(checks[0].second.status, fe::CheckStatus::skip);
    EXPECT_EQ(checks[7].second.details, "Check 8 skipped");
    EXPECT_EQ(checks[8].first, "extra");
    EXPECT_EQ(checks[8].second.details, "Plugin check 9 skipped");
    EXPECT_TRUE(result.operator_results[0].second.accepted);
}

TEST_F(DriverTest, DiscoveryOrderProgressAndTheResultRecord) {
    add_plugin("p", returns("pass"));
    const auto store = store_of({{"zeta", {}}, {"alpha", {}}, {"mid", {}}});
    auto c = mock_config();
    c.N_signals = 500;  // replaced by the ingested count
    std::vector<std::tuple<std::string, bool, std::int64_t, std::int64_t>> calls;
    c.operator_progress_callback = [&calls](const std::string& name, const fe::OperatorCheckResult& r, std::int64_t done,
                                            std::int64_t total) {
        calls.emplace_back(name, r.accepted && r.operator_name == name, done, total);
    };
    const auto result = fe::evaluate(c, std::vector<fe::EvalFiltrationConfig>{}, store);  // empty list: discover
    EXPECT_THAT(calls, ElementsAre(std::tuple{"zeta", true, 1, 3}, std::tuple{"alpha", true, 2, 3},
                                   std::tuple{"mid", true, 3, 3}));
    ASSERT_EQ(result.operator_configs.size(), 3U);
    EXPECT_EQ(c.N_signals, 10);
    EXPECT_EQ(result.config.N_signals, 10);
    EXPECT_EQ(result.config.signal_metadata->size(), 10U);

    auto failing = mock_config();
    failing.operator_progress_callback = [](auto&, auto&, auto, auto) { throw rt::RuntimeError("stop"); };
    EXPECT_THROW(fe::evaluate(failing, std::nullopt, store), rt::RuntimeError);
}

TEST_F(DriverTest, PluginDataTypesErrorsAndTheAcceptanceRule) {
    std::vector<std::string> ran;
    const auto recording = [&ran](const char* tag) -> Validate {
        return [&ran, tag](auto&, auto&, auto&) {
            ran.emplace_back(tag);
            return fe::CheckOutcome{CheckStatus::fail, "", {}};
        };
    };
    add_plugin("any", recording("any"));
    add_plugin("numeric_only", recording("numeric_only"), Value("numeric"));
    add_plugin("three", recording("three"), Value(3));
    add_plugin("boom", [](auto&, auto&, auto&) -> fe::CheckOutcome { throw rt::ValueError("it broke"); });
    add_plugin("missing", [](auto&, auto&, auto&) -> fe::CheckOutcome { throw rt::KeyError(Value("k")); });
    const auto store = store_of({{"typed", Value("numeric")}, {"untyped", {}}});
    auto c = mock_config();
    c.info_checks = {1, 4, 5};  // "any" and the two erroring plug-ins may fail without rejecting
    const auto result = fe::evaluate(c, ops({"typed", "untyped"}), store);
    EXPECT_THAT(ran, ElementsAre("any", "numeric_only", "any"));
    const auto& typed = result.operator_results[0].second;
    EXPECT_EQ(typed.check("three")->status, fe::CheckStatus::skip);
    EXPECT_EQ(typed.check("three")->details, "Plugin data_type '3' does not match operator");
    EXPECT_FALSE(typed.accepted);  // numeric_only failed on a matching operator
    const auto& untyped = result.operator_results[1].second;
    EXPECT_EQ(untyped.check("numeric_only")->details, "Plugin data_type 'numeric' does not match operator");
    EXPECT_TRUE(untyped.accepted);  // mismatched plug-ins never reject; info checks never reject
    EXPECT_EQ(untyped.check("boom")->status, fe::CheckStatus::fail);
    EXPECT_EQ(untyped.check("boom")->details, "Plugin error: it broke");
    EXPECT_EQ(untyped.check("missing")->details, "Plugin error: 'k'");

    fe::clear_check_plugins();
    add_plugin("ok", returns("pass"));
    add_plugin("bad", returns("fail"));
    add_plugin("odd", returns("weird"));
    for (const auto& [skip, info, accepted] : {std::tuple{std::set<std::int64_t>{}, std::set<std::int64_t>{}, false},
                                               std::tuple{std::set<std::int64_t>{}, std::set<std::int64_t>{2}, true},
                                               std::tuple{std::set<std::int64_t>{2}, std::set<std::int64_t>{}, true},
                                               std::tuple{std::set<std::int64_t>{1}, std::set<std::int64_t>{3}, false}}) {
        auto run = mock_config();
        run.skip_checks = skip;
        run.info_checks = info;
        EXPECT_EQ(fe::evaluate(run, ops({"typed"}), store).operator_results[0].second.accepted, accepted)
            << rt::int_set_display({skip.begin(), skip.end()}) << " " << rt::int_set_display({info.begin(), info.end()});
    }
}

TEST_F(DriverTest, AFailedCanonicalCheckRejectsUnlessSkippedOrInformational) {
    ep::override_check_registry_entries(std::vector<ep::CheckEntry>{{2, "correctness"}});
    add_plugin("p", returns("pass"));
    const auto at_least = [](const Value& v, const Dict& p) { return v.is_number() && v.to_double() >= p.at("value").to_double(); };
    const auto above = [](const Value& v, const Dict& p) { return v.is_number() && v.to_double() > p.at("value").to_double(); };
    for (const auto& [op, skip, info, accepted] :
         {std::tuple{select_where("gt", at_least), std::set<std::int64_t>{}, std::set<std::int64_t>{}, false},
          std::tuple{select_where("gt", at_least), std::set<std::int64_t>{}, std::set<std::int64_t>{2}, true},
          std::tuple{select_where("gt", at_least), std::set<std::int64_t>{2}, std::set<std::int64_t>{}, true},
          std::tuple{select_where("gt", above), std::set<std::int64_t>{}, std::set<std::int64_t>{}, true}}) {
        rs::FunctionStore store;
        store.register_entry(rs::StoreEntry{"gt", "filtration", op, "", "", Value()});
        auto c = mock_config();
        c.skip_checks = skip;
        c.info_checks = info;
        const auto result = fe::evaluate(c, ops({"gt"}), store).operator_results[0].second;
        EXPECT_EQ(result.accepted, accepted) << result.check("correctness")->details;
        EXPECT_EQ(result.check("p")->status, CheckStatus::pass);
    }
}

TEST_F(DriverTest, SkippedChecksShiftLaterSeeds) {
    const std::vector<ep::CheckEntry> canonical = {{1, "a"}, {2, "b"}, {3, "c"}, {4, "d"}};
    const auto all = fd::draw_check_seeds(7, canonical, {});
    num::Generator rng = num::default_rng(7);
    for (const auto& s : all) EXPECT_EQ(s, static_cast<std::uint64_t>(rng.integers(0, 2147483648LL)));
    using Seeds = std::vector<std::optional<std::uint64_t>>;
    EXPECT_EQ(fd::draw_check_seeds(7, canonical, {1}), (Seeds{std::nullopt, all[0], all[1], all[2]}));
    EXPECT_EQ(fd::draw_check_seeds(7, canonical, {2, 3}), (Seeds{all[0], std::nullopt, std::nullopt, all[1]}));
}

TEST_F(DriverTest, PluginPoolIsBuiltFromTheSeedAndIsPrivate) {
    std::vector<std::shared_ptr<fe::SignalPool>> seen;
    const Validate capture = [&seen](const fe::Operator&, fe::SignalPool& pool, eu::BaseEvaluationConfig&) {
        auto copy = std::make_shared<fe::SignalPool>();
        for (const auto& [id, s] : pool) {
            copy->insert(id, fe::UsefulSignal::make(s.metadata->deep_copy(), s.weights->copy()));
        }
        seen.push_back(copy);
        for (auto&& [id, s] : pool) {  // vandalise the pool
            s.metadata->set(Value("is_sharpe"), Value(999.0));
            s.metadata->find("rotation_families_used")->as_list().clear();
        }
        return fe::CheckOutcome{CheckStatus::pass, "", {}};
    };
    add_plugin("first", capture);
    add_plugin("second", capture);
    const auto store = store_of({{"op", {}}});
    auto c = mock_config();
    const Dict original = c.mock_signals->deep_copy();
    const auto result = fe::evaluate(c, std::nullopt, store);

    ASSERT_EQ(seen.size(), 2U);
    num::Generator rng = num::default_rng(5);
    std::size_t i = 0;
    for (const auto& [id, metadata] : original) {
        EXPECT_EQ(seen[0]->id(i), id.as_str());
        EXPECT_TRUE(num::array_equal(*seen[0]->signal(i).weights, rng.standard_normal(3, 2), false));
        // Each plug-in gets a fresh generator and untouched metadata.
        EXPECT_TRUE(num::array_equal(*seen[1]->signal(i).weights, *seen[0]->signal(i).weights, false));
        EXPECT_EQ(*seen[1]->signal(i++).metadata, metadata.as_dict());
    }
    EXPECT_EQ(i, seen[0]->size());
    EXPECT_EQ(*c.signal_metadata, original);
    EXPECT_EQ(*c.mock_signals, original);
    EXPECT_EQ(*result.config.signal_metadata, original);
}

TEST_F(DriverTest, PoolKeeperIsEmptiedAndHoldsNothing) {
    auto& keeper = fd::pool_keeper();
    auto synthetic = mock_config();
    synthetic.mock_signals.reset();
    synthetic.N_signals = 3;
    const auto stale = fd::generate_synthetic_signals(synthetic);
    ASSERT_GE(keeper.size(), 1U);
    std::vector<std::size_t> sizes;
    add_plugin("observer", [&](auto&, auto&, auto&) {
        for (int i = 0; i < 50; ++i) fd::generate_synthetic_signals(synthetic);
        sizes.push_back(keeper.size());
        return fe::CheckOutcome{CheckStatus::pass, "", {}};
    });
    const auto store = store_of({{"a", {}}, {"b", {}}});
    auto c = mock_config();
    fe::evaluate(c, std::nullopt, store);
    // Cleared when the run starts, not between operators; empty at the end.
    EXPECT_THAT(sizes, ElementsAre(50U, 100U));
    EXPECT_EQ(keeper.size(), 0U);
    EXPECT_EQ(keeper.alive(), 0U);
}

// The application's interrupt check ends a run wherever it is (first operator, a check's guarded
// call, a bias trial, the last call) and a resolve between nodes: no guard makes it a verdict.
TEST(InterruptCheck, EndsRunsAndResolvesWhereverTheyAre) {
    static int calls = 0;
    static int stop_at = 0;
    rt::set_interrupt_check([] {
        if (++calls == stop_at) throw rt::Interrupt();
    });
    const rs::FunctionStore store = rs::build_default_store();
    const auto run = [&](int at) {
        calls = 0;
        stop_at = at;
        auto c = mock_config();
        c.skip_checks = {8};
        fe::evaluate(c, ops({"top_n"}), store);
    };
    run(0);
    const int total = calls;
    ASSERT_GT(total, 100);
    for (const int at : {1, 2, total / 2, total}) {
        EXPECT_THROW(run(at), rt::Interrupt) << at;
        EXPECT_EQ(calls, at);
    }
    const fe::FilterNode tree{"and_", {}, {{"gt", {{"field", "is_sharpe"}, {"value", 0.0}}, {}}, {"not_", {}, {{"filtration", {{"select_all", true}}, {}}}}}};
    num::Generator rng = fd::make_rng(1);
    const fd::PoolPtr pool = fd::metadata_pool(*mock_config().mock_signals, 1, 1, rng);
    calls = 0;
    stop_at = 3;
    EXPECT_THROW(fe::resolve_filtrations(*pool, tree, store), rt::Interrupt);
    EXPECT_EQ(calls, 3);
}

}  // namespace
