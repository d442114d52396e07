#include "brindlecap/functions/filtrations_evaluation/pipeline/driver.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "brindlecap/functions/evaluation_pipeline/check_registry.hpp"
#include "brindlecap/functions/filtrations_evaluation/pipeline/fixtures.hpp"
#include "brindlecap/runtime/text.hpp"
#include "runtime/value_printer.hpp"

namespace fe = brindlecap::functions::filtrations_evaluation;
namespace fd = brindlecap::functions::filtrations_evaluation::detail;
namespace ep = brindlecap::functions::evaluation_pipeline;
namespace rs = brindlecap::functions::registry_and_store;
namespace eu = brindlecap::functions::evaluation_utils;
namespace rt = brindlecap::runtime;
namespace num = brindlecap::numeric;
using fe::Dict;
using fe::IdSet;
using fe::Value;
using ::testing::ElementsAre;

namespace {

using Validate = std::function<fe::CheckOutcome(const fe::Operator&, fe::SignalPool&, eu::BaseEvaluationConfig&)>;

class FnPlugin : public fe::EvaluationCheckPlugin {
public:
    FnPlugin(std::string name, Value data_type, Validate fn)
        : name_(std::move(name)), data_type_(std::move(data_type)), fn_(std::move(fn)) {}
    std::string name() const override { return name_; }
    Value data_type() const override { return data_type_; }
    fe::CheckOutcome validate(const fe::Operator& op, fe::SignalPool& pool, eu::BaseEvaluationConfig& c) override {
        return fn_(op, pool, c);
    }

private:
    std::string name_;
    Value data_type_;
    Validate fn_;
};

fe::PluginPtr plugin(std::string name, Validate fn, Value data_type = {}) {
    return std::make_shared<FnPlugin>(std::move(name), std::move(data_type), std::move(fn));
}

fe::CheckOutcome outcome(const char* status) { return {status, "", {}}; }

Dict mock_signals(int n) {
    Dict out;
    for (int i = 0; i < n; ++i) {
        out.set(Value("sig_" + std::to_string(i)),
                Dict{{"is_sharpe", 0.1 * i},
                     {"is_returns", 0.01 * i},
                     {"is_turnover", 0.5},
                     {"rotation_families_used", Value::list({"numerical"})},
                     {"expression_complexity", 3},
                     {"submission_date", 1.7e9 + i},
                     {"is_active", i % 2 == 0},
                     {"signal_category", "momentum"}});
    }
    return out;
}

fe::FiltrationEvaluationConfig mock_config() {
    fe::FiltrationEvaluationConfig c;
    c.mode = "mock";
    c.seed = 5;
    c.T = 3;
    c.N_alloc = 2;
    c.mock_signals = mock_signals(10);
    return c;
}

rs::FunctionStore store_of(const std::vector<std::pair<std::string, Value>>& ops) {
    rs::FunctionStore store;
    for (const auto& [name, data_type] : ops) {
        rs::StoreEntry e;
        e.name = name;
        e.function_type = "filtration";
        e.factory = fe::plain_operator(name, [](const IdSet& keys, const Dict&) -> fe::OperatorResult { return keys; });
        e.data_type = data_type;
        store.register_entry(std::move(e));
    }
    return store;
}

std::vector<fe::EvalFiltrationConfig> ops(std::initializer_list<const char*> names) {
    std::vector<fe::EvalFiltrationConfig> out;
    for (const char* n : names) out.push_back({n, std::nullopt});
    return out;
}

std::string value_error(const std::function<void()>& f) {
    try {
        f();
    } catch (const rt::ValueError& e) {
        return e.what();
    }
    return "<no ValueError>";
}

const std::set<std::int64_t> kAllCanonical = {1, 2, 3, 4, 5, 6, 7, 8};

// Runs with the plug-ins below and, unless canonical entries are given, none of the canonical
// checks (so only the driver's own logic is exercised).
class DriverTest : public ::testing::Test {
protected:
    void SetUp() override {
        fe::clear_check_plugins();
        ep::override_check_registry_entries(std::vector<ep::CheckEntry>{});
    }
    void TearDown() override {
        fe::clear_check_plugins();
        ep::override_check_registry_entries(std::nullopt);
    }
};

}  // namespace

TEST_F(DriverTest, SelectionValidationMessages) {
    ep::override_check_registry_entries(std::nullopt);
    const auto store = store_of({{"gt", {}}});
    auto c = mock_config();
    c.skip_checks = {9};
    EXPECT_EQ(value_error([&] { fe::evaluate(c, std::nullopt, &store); }),
              "skip_checks values must be in [1, 8]. Got invalid: {9}.");
    c = mock_config();
    c.info_checks = {12, 0, 3};
    EXPECT_EQ(value_error([&] { fe::evaluate(c, std::nullopt, &store); }),
              "info_checks values must be in [1, 8]. Got invalid: {0, 12}.");
    c = mock_config();
    c.skip_checks = {3};
    c.info_checks = {3, 5};
    EXPECT_EQ(value_error([&] { fe::evaluate(c, std::nullopt, &store); }),
              "skip_checks and info_checks must not overlap. Overlap: {3}.");

    // A registered plug-in makes 9 valid; skipping everything runs nothing.
    fe::register_check_plugin(plugin("extra", [](auto&, auto&, auto&) -> fe::CheckOutcome {
        throw std::logic_error("must not run");
    }));
    c = mock_config();
    c.skip_checks = {1, 2, 3, 4, 5, 6, 7, 8, 9};
    const auto result = fe::evaluate(c, std::nullopt, &store);
    const auto& checks = result.operator_results.at(0).second.checks;
    ASSERT_EQ(checks.size(), 9U);
    EXPECT_EQ(checks[0].first, "contract");
    EXPECT_EQ(checks[0].second.status, "skip");
    EXPECT_EQ(checks[0].second.details, "Check 1 skipped");
    EXPECT_EQ(checks[7].second.details, "Check 8 skipped");
    EXPECT_EQ(checks[8].first, "extra");
    EXPECT_EQ(checks[8].second.details, "Plugin check 9 skipped");
    EXPECT_TRUE(checks[8].second.evidence.empty());
    EXPECT_TRUE(result.operator_results.at(0).second.accepted);

    // No canonical checks and no plug-ins: nothing to take the maximum of.
    fe::clear_check_plugins();
    ep::override_check_registry_entries(std::vector<ep::CheckEntry>{});
    c = mock_config();
    EXPECT_EQ(value_error([&] { fe::evaluate(c, std::nullopt, &store); }), "max() arg is an empty sequence");
}

TEST_F(DriverTest, OperatorDiscoveryAndIdentity) {
    fe::register_check_plugin(plugin("p", [](auto&, auto&, auto&) { return outcome("pass"); }));
    const auto store = store_of({{"zeta", {}}, {"alpha", {}}, {"mid", {}}});
    auto c = mock_config();
    for (auto configs : {std::optional<std::vector<fe::EvalFiltrationConfig>>{},
                         std::optional<std::vector<fe::EvalFiltrationConfig>>{std::vector<fe::EvalFiltrationConfig>{}}}) {
        const auto result = fe::evaluate(c, configs, &store);
        std::vector<std::string> names;
        for (const auto& [name, r] : result.operator_results) names.push_back(name);
        EXPECT_THAT(names, ElementsAre("zeta", "alpha", "mid"));
        std::vector<std::string> discovered;
        for (const auto& oc : result.operator_configs) {
            discovered.push_back(oc.name);
            EXPECT_FALSE(oc.test_cases.has_value());
        }
        EXPECT_EQ(discovered, names);
    }

    EXPECT_EQ(value_error([&] { fe::evaluate(c, ops({"alpha", "mid", "alpha"}), &store); }),
              "Duplicate filtration operator identity: 'alpha'");
    EXPECT_EQ(value_error([&] { fe::evaluate(c, ops({"alpha", "nope"}), &store); }),
              "Filtration operator 'nope' not found in store.");
    const rs::FunctionStore empty;
    EXPECT_EQ(value_error([&] { fe::evaluate(c, std::nullopt, &empty); }), "No filtration operators found in store.");
    EXPECT_EQ(value_error([&] { fe::evaluate(c, std::nullopt, nullptr); }), "store (FunctionStore) is required.");

    const auto chosen = fe::evaluate(c, ops({"mid"}), &store);
    ASSERT_EQ(chosen.operator_results.size(), 1U);
    EXPECT_EQ(chosen.operator_results[0].first, "mid");
}

TEST_F(DriverTest, PluginDataTypeRules) {
    std::vector<std::string> ran;
    auto recording = [&ran](const char* tag) {
        return [&ran, tag](auto&, auto&, auto&) {
            ran.emplace_back(tag);
            return outcome("fail");
        };
    };
    fe::register_check_plugin(plugin("any", recording("any")));
    fe::register_check_plugin(plugin("numeric_only", recording("numeric_only"), Value("numeric")));
    fe::register_check_plugin(plugin("three", recording("three"), Value(3)));
    const auto store = store_of({{"typed", Value("numeric")}, {"untyped", {}}});
    auto c = mock_config();
    c.info_checks = {1};  // "any" may fail without rejecting
    const auto result = fe::evaluate(c, ops({"typed", "untyped"}), &store);

    EXPECT_THAT(ran, ElementsAre("any", "numeric_only", "any"));
    const auto& typed = result.operator_results[0].second;
    EXPECT_EQ(typed.check("numeric_only")->status, "fail");
    EXPECT_EQ(typed.check("three")->status, "skip");
    EXPECT_EQ(typed.check("three")->details, "Plugin data_type '3' does not match operator");
    EXPECT_FALSE(typed.accepted);  // numeric_only failed on a matching operator

    const auto& untyped = result.operator_results[1].second;
    EXPECT_EQ(untyped.check("numeric_only")->details, "Plugin data_type 'numeric' does not match operator");
    EXPECT_TRUE(untyped.accepted);  // mismatched plug-ins never reject
}

TEST_F(DriverTest, PluginErrorsBecomeFailedOutcomes) {
    fe::register_check_plugin(plugin("boom", [](auto&, auto&, auto&) -> fe::CheckOutcome {
        throw rt::ValueError("it broke");
    }));
    fe::register_check_plugin(plugin("missing", [](auto&, auto&, auto&) -> fe::CheckOutcome {
        throw rt::KeyError(Value("k"));
    }));
    const auto store = store_of({{"op", {}}});
    auto c = mock_config();
    auto result = fe::evaluate(c, std::nullopt, &store);
    const auto& r = result.operator_results[0].second;
    EXPECT_EQ(r.check("boom")->status, "fail");
    EXPECT_EQ(r.check("boom")->details, "Plugin error: it broke");
    EXPECT_EQ(r.check("boom")->evidence, (Dict{{"error", "it broke"}}));
    EXPECT_EQ(r.check("missing")->details, "Plugin error: 'k'");
    EXPECT_FALSE(r.accepted);

    c = mock_config();
    c.info_checks = {1, 2};
    result = fe::evaluate(c, std::nullopt, &store);
    EXPECT_TRUE(result.operator_results[0].second.accepted);
    EXPECT_EQ(result.operator_results[0].second.check("boom")->status, "fail");
}

TEST_F(DriverTest, AcceptanceIgnoresInfoAndSkippedChecks) {
    fe::register_check_plugin(plugin("ok", [](auto&, auto&, auto&) { return outcome("pass"); }));
    fe::register_check_plugin(plugin("bad", [](auto&, auto&, auto&) { return outcome("fail"); }));
    fe::register_check_plugin(plugin("odd", [](auto&, auto&, auto&) { return outcome("weird"); }));
    const auto store = store_of({{"op", {}}});
    for (const auto& [skip, info, accepted] :
         {std::tuple{std::set<std::int64_t>{}, std::set<std::int64_t>{}, false},
          std::tuple{std::set<std::int64_t>{}, std::set<std::int64_t>{2}, true},
          std::tuple{std::set<std::int64_t>{2}, std::set<std::int64_t>{}, true},
          std::tuple{std::set<std::int64_t>{1}, std::set<std::int64_t>{3}, false}}) {
        auto c = mock_config();
        c.skip_checks = skip;
        c.info_checks = info;
        const auto result = fe::evaluate(c, std::nullopt, &store);
        const auto& r = result.operator_results[0].second;
        EXPECT_EQ(r.accepted, accepted) << rt::int_set_display({skip.begin(), skip.end()}) << " "
                                        << rt::int_set_display({info.begin(), info.end()});
        EXPECT_EQ(r.checks.size(), 3U);
        EXPECT_TRUE(r.warnings.empty());
    }
}

TEST_F(DriverTest, SkippedChecksShiftLaterSeeds) {
    const std::vector<ep::CheckEntry> canonical = {{1, "a"}, {2, "b"}, {3, "c"}, {4, "d"}};
    const auto all = fd::draw_check_seeds(7, canonical, {});
    ASSERT_EQ(all.size(), 4U);
    for (const auto& s : all) {
        ASSERT_TRUE(s.has_value());
        EXPECT_LT(*s, 2147483648ULL);
    }
    EXPECT_EQ(std::set<std::optional<std::uint64_t>>(all.begin(), all.end()).size(), 4U);

    const auto skip_first = fd::draw_check_seeds(7, canonical, {1});
    EXPECT_EQ(skip_first, (std::vector<std::optional<std::uint64_t>>{std::nullopt, all[0], all[1], all[2]}));
    const auto skip_middle = fd::draw_check_seeds(7, canonical, {2, 3});
    EXPECT_EQ(skip_middle, (std::vector<std::optional<std::uint64_t>>{all[0], std::nullopt, std::nullopt, all[1]}));
    EXPECT_NE(fd::draw_check_seeds(8, canonical, {}), all);
}

TEST_F(DriverTest, PluginPoolIsBuiltFromTheSeedAndIsPrivate) {
    std::vector<std::shared_ptr<fe::SignalPool>> seen;
    auto capture = [&seen](const fe::Operator&, fe::SignalPool& pool, eu::BaseEvaluationConfig&) {
        auto copy = std::make_shared<fe::SignalPool>();
        for (const auto& [id, s] : pool) {
            fe::UsefulSignal kept = s;
            kept.weights = std::make_shared<num::Matrix>(s.weights->copy());
            kept.metadata = std::make_shared<Dict>(s.metadata->deep_copy());
            copy->insert(id, kept);
        }
        seen.push_back(copy);
        // Vandalise the pool.
        for (auto&& [id, s] : pool) {
            s.metadata->set(Value("is_sharpe"), Value(999.0));
            s.metadata->find("rotation_families_used")->as_list().clear();
        }
        return outcome("pass");
    };
    fe::register_check_plugin(plugin("first", capture));
    fe::register_check_plugin(plugin("second", capture));
    const auto store = store_of({{"op", {}}});
    auto c = mock_config();
    const Dict original = c.mock_signals->deep_copy();
    const auto result = fe::evaluate(c, std::nullopt, &store);

    ASSERT_EQ(seen.size(), 2U);
    num::Generator rng = num::default_rng(5);
    std::size_t i = 0;
    for (const auto& [id, metadata] : original) {
        ASSERT_EQ(seen[0]->id(i), id.as_str());
        EXPECT_TRUE(num::array_equal(*seen[0]->signal(i).weights, rng.standard_normal(3, 2), false));
        EXPECT_EQ(*seen[0]->signal(i).metadata, metadata.as_dict());
        EXPECT_EQ(seen[0]->signal(i).pnl, nullptr);
        // Each plug-in gets a fresh generator and untouched metadata.
        EXPECT_TRUE(num::array_equal(*seen[1]->signal(i).weights, *seen[0]->signal(i).weights, false));
        EXPECT_EQ(*seen[1]->signal(i).metadata, metadata.as_dict());
        ++i;
    }
    EXPECT_EQ(i, seen[0]->size());
    EXPECT_EQ(*c.signal_metadata, original);
    EXPECT_EQ(*c.mock_signals, original);
    EXPECT_EQ(*result.config.signal_metadata, original);
}

TEST_F(DriverTest, ResultCarriesTheIngestedConfigAndReportsProgress) {
    fe::register_check_plugin(plugin("p", [](auto&, auto&, auto&) { return outcome("pass"); }));
    const auto store = store_of({{"a", {}}, {"b", {}}, {"c", {}}});
    auto c = mock_config();
    c.N_signals = 500;  // replaced by the ingested count
    std::vector<std::tuple<std::string, bool, std::int64_t, std::int64_t>> calls;
    c.operator_progress_callback = [&calls](const std::string& name, const fe::OperatorCheckResult& r,
                                            std::int64_t done, std::int64_t total) {
        calls.emplace_back(name, r.accepted && r.operator_name == name, done, total);
    };
    const auto result = fe::evaluate(c, std::nullopt, &store);
    EXPECT_THAT(calls, ElementsAre(std::tuple{"a", true, 1, 3}, std::tuple{"b", true, 2, 3},
                                   std::tuple{"c", true, 3, 3}));
    EXPECT_EQ(c.N_signals, 10);
    EXPECT_EQ(result.config.N_signals, 10);
    ASSERT_TRUE(result.config.signal_metadata.has_value());
    EXPECT_EQ(result.config.signal_metadata->size(), 10U);

    auto failing = mock_config();
    failing.operator_progress_callback = [](auto&, auto&, auto, auto) { throw rt::RuntimeError("stop"); };
    EXPECT_THROW(fe::evaluate(failing, std::nullopt, &store), rt::RuntimeError);
}

TEST_F(DriverTest, PoolKeeperIsEmptiedAndHoldsNothing) {
    auto& keeper = fd::pool_keeper();
    auto stale_config = mock_config();
    stale_config.mock_signals.reset();
    stale_config.N_signals = 3;
    const auto stale = fd::generate_synthetic_signals(stale_config);
    ASSERT_GE(keeper.size(), 1U);

    std::vector<std::size_t> sizes;
    fe::register_check_plugin(plugin("observer", [&](auto&, auto&, auto&) {
        // Pools built for this operator so far.
        for (int i = 0; i < 50; ++i) fd::generate_synthetic_signals(stale_config);
        sizes.push_back(keeper.size());
        return outcome("pass");
    }));
    const auto store = store_of({{"a", {}}, {"b", {}}});
    auto c = mock_config();
    fe::evaluate(c, std::nullopt, &store);
    // Cleared at the start of the loop: only this run's pools were counted.
    EXPECT_THAT(sizes, ElementsAre(50U, 100U));
    EXPECT_EQ(keeper.size(), 0U);
    EXPECT_EQ(keeper.alive(), 0U);
}
