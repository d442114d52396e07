#include "brindlecap/functions/filtrations_evaluation/harness/invocation_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/harness/order_probe_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/harness/pool_keeper_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/harness/reference_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/harness/snapshot_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/harness/synthetic_internal.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <bit>
#include <functional>
#include <thread>

#include "functions/filtrations_evaluation/checks/check_support.hpp"

namespace {

using namespace brindlecap::test::checks;
using brindlecap::test::load_golden;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

fe::FiltrationEvaluationConfig config_with(std::int64_t seed, std::int64_t n, std::int64_t t, std::int64_t a) {
    fe::FiltrationEvaluationConfig c;
    c.mode = "mock";
    c.seed = seed;
    c.N_signals = n;
    c.T = t;
    c.N_alloc = a;
    return c;
}

std::vector<std::string> pool_ids(const fe::SignalPool& pool) { return pool.keys().to_vector(); }

// A pool against a golden dump: order, metadata (NaN equal NaN) with its key order, weights bit for bit.
void expect_matches_golden(const fe::SignalPool& pool, const Value& golden) {
    const Dict& dump = golden.as_dict();
    const std::vector<std::string> ids = strings_of(dump.at(Value("ids")));
    ASSERT_EQ(pool_ids(pool), ids);
    for (const auto& id : ids) {
        SCOPED_TRACE(id);
        const Dict& entry = dump.at(Value("signals")).as_dict().at(Value(id)).as_dict();
        const fe::UsefulSignal& signal = *pool.find(id);
        EXPECT_EQ(signal.pnl, nullptr);
        const Dict& expected = entry.at(Value("metadata")).as_dict();
        EXPECT_TRUE(fd::equal_allowing_nan(*signal.metadata, expected));
        EXPECT_EQ(rt::repr(Value(signal.metadata->keys())), rt::repr(Value(expected.keys())));
        ASSERT_EQ(entry.at(Value("shape")), Value::list({signal.weights->rows(), signal.weights->cols()}));
        const auto weights = brindlecap::test::hex_doubles(entry.at(Value("weights")));
        ASSERT_EQ(weights.size(), signal.weights->size());
        std::size_t differing = 0;
        for (std::size_t i = 0; i < weights.size(); ++i) {
            differing += std::bit_cast<std::uint64_t>(weights[i]) != std::bit_cast<std::uint64_t>(signal.weights->data()[i]);
        }
        EXPECT_EQ(differing, 0U);
    }
}

fe::SignalPool pool_of(const std::vector<std::string>& ids) {
    fe::SignalPool pool;
    for (const auto& id : ids) {
        pool.insert(id, fe::UsefulSignal::make(Dict{{"is_sharpe", 1.0}, {"rotation_families_used", Value::list({"numerical"})}},
                                               num::Matrix(1, 1)));
    }
    return pool;
}

}  // namespace

TEST(FixtureGolden, PoolsMatchNumpyBitForBit) {
    for (const auto& [file, seed, n, t, a] : {std::tuple{"synthetic_seed0_n12_t5_a4.json", 0, 12, 5, 4},
                                              std::tuple{"synthetic_seed12345_n3_t50_a50.json", 12345, 3, 50, 50}}) {
        SCOPED_TRACE(file);
        const auto config = config_with(seed, n, t, a);
        num::Generator rng = num::default_rng(static_cast<std::uint64_t>(seed));
        expect_matches_golden(*fd::generate_synthetic_signals(config, &rng), load_golden(file));
        expect_matches_golden(*fd::generate_synthetic_signals(config), load_golden(file));  // generator from config.seed
    }
    const auto metadata_golden = load_golden("metadata_branch_seed3_t5_a4.json");
    auto config = config_with(3, 0, 5, 4);
    config.signal_metadata = Dict{};
    const Dict& dumped = metadata_golden.as_dict().at(Value("signals")).as_dict();
    for (const Value& id : metadata_golden.as_dict().at(Value("ids")).as_list()) {
        config.signal_metadata->set(id, dumped.at(id).as_dict().at(Value("metadata")));
    }
    num::Generator rng3 = num::default_rng(3);
    expect_matches_golden(*fd::generate_synthetic_signals(config, &rng3), metadata_golden);

    num::Generator rng7 = num::default_rng(7);
    expect_matches_golden(*fd::build_correctness_test_pool(config_with(0, 0, 5, 4), rng7), load_golden("correctness_seed7_t5_a4.json"));

    const auto seeded = load_golden("seeded_top_n_seed0_n8_t3_a2.json");
    const auto [pool, category] = fd::build_seeded_operator_fixture("top_n", config_with(0, 8, 3, 2));
    EXPECT_EQ(Value(to_string(category)), seeded.as_dict().at(Value("category")));
    expect_matches_golden(*pool, seeded);

    const auto demo = load_golden("demo_signals.json");
    const auto demo_pool = fd::generate_synthetic_signals(config_with(2026, 24, 50, 50));
    ASSERT_EQ(demo_pool->size(), demo.as_dict().size());
    std::size_t i = 0;
    for (const auto& [id, metadata] : demo.as_dict()) {
        EXPECT_EQ(demo_pool->id(i), id.as_str());
        EXPECT_TRUE(fd::equal_allowing_nan(*demo_pool->signal(i++).metadata, metadata.as_dict())) << id.as_str();
    }
}

TEST(FixtureDraws, GeneratorsAdvanceByExactlyTheSpecifiedDraws) {
    // The correctness pool takes one integer draw from the caller and seeds its own generator with it.
    for (const auto& [t, a] : {std::pair{1, 1}, std::pair{40, 30}}) {
        num::Generator rng = num::default_rng(123), expected = num::default_rng(123);
        const auto seed = expected.integers(0, 2147483648LL);
        const auto pool = fd::build_correctness_test_pool(config_with(0, 0, t, a), rng);
        EXPECT_TRUE(same_state(rng, expected));
        num::Generator inner = num::default_rng(static_cast<std::uint64_t>(seed));
        EXPECT_TRUE(num::array_equal(*pool->signal(0).weights, inner.standard_normal(t, a), false));
        EXPECT_EQ(pool->size(), 25U);
    }
    // The metadata branch draws one matrix per signal and deep-copies the metadata.
    auto config = config_with(0, 0, 3, 2);
    config.signal_metadata = Dict{{"s1", Dict{{"is_sharpe", 1.0}, {"tags", Value::list({"x"})}}}, {"s2", Dict{}}};
    num::Generator rng = num::default_rng(5), expected = num::default_rng(5);
    expected.skip_standard_normal(2 * 3 * 2);
    const auto pool = fd::generate_synthetic_signals(config, &rng);
    EXPECT_TRUE(same_state(rng, expected));
    pool->signal(0).metadata->find("tags")->as_list().push_back(Value("y"));
    EXPECT_EQ(config.signal_metadata->find("s1")->as_dict().get("tags").as_list().size(), 1U);

    // Real mode without metadata fails before drawing anything.
    config.mode = "real";
    config.signal_metadata.reset();
    num::Generator untouched = num::default_rng(9), guarded = num::default_rng(9);
    EXPECT_EQ(brindlecap::test::message_of<rt::ValueError>([&] { fd::generate_synthetic_signals(config, &guarded); }),
              "signal_metadata is required after real-mode ingestion; synthetic signal metadata is not allowed in mode='real'.");
    EXPECT_TRUE(same_state(guarded, untouched));
}

TEST(FixtureDraws, SourceSelection) {
    auto config = config_with(9, 4, 2, 2);
    config.mock_signals = Dict{{"m1", Dict{{"a", 1}}}};
    EXPECT_THAT(pool_ids(*fd::generate_synthetic_signals(config)), ElementsAre("m1"));
    config.signal_metadata = Dict{};
    EXPECT_EQ(fd::generate_synthetic_signals(config)->size(), 0U);  // empty, not absent
    config.seed = -1;
    config.signal_metadata.reset();
    config.mock_signals.reset();
    EXPECT_THROW(fd::generate_synthetic_signals(config), rt::ValueError);
}

TEST(PoolKeeper, HoldsNoPoolAliveAndTakesAppendsFromManyThreads) {
    auto& keeper = fd::pool_keeper();
    keeper.clear();
    auto held = fd::generate_synthetic_signals(config_with(0, 3, 2, 2));
    for (int i = 0; i < 500; ++i) fd::generate_synthetic_signals(config_with(0, 3, 2, 2));
    EXPECT_EQ(keeper.size(), 501U);
    EXPECT_EQ(keeper.alive(), 1U);
    held.reset();
    EXPECT_EQ(keeper.alive(), 0U);

    keeper.clear();
    std::vector<fd::PoolPtr> pools(800);
    for (auto& p : pools) p = std::make_shared<fe::SignalPool>();
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (std::size_t i = t; i < pools.size(); i += 4) keeper.append(pools[i]);
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(keeper.size(), 800U);
    EXPECT_EQ(keeper.alive(), 800U);
    keeper.clear();
}

TEST(CallOperator, CategoriesAndDefaultParameters) {
    const auto pool = pool_of({"a", "b", "c", "d", "e"});
    // Records how it was called and selects nothing.
    std::optional<fe::CallForm> form;
    Dict params{{"unset", true}};
    std::vector<std::vector<std::string>> children;
    std::vector<std::string> keys;
    const fe::Operator recorder = [&](const fe::OperatorCall& call) -> fe::OperatorResult {
        form = call.form;
        params = call.params ? call.params->copy() : Dict{};
        children.clear();
        for (const auto& child : call.children_results ? *call.children_results : std::vector<IdSet>{}) {
            children.push_back(child.sorted());
        }
        keys = call.pool_keys ? call.pool_keys->sorted() : std::vector<std::string>{};
        return IdSet{};
    };
    // Combinators get no parameters and the first half of the pool (rounded down) as one child.
    for (const char* category : {"boolean", "wrapper"}) {
        fd::call_operator("and_", recorder, pool, fe::parse_operator_category(category));
        EXPECT_EQ(form, fe::CallForm::combinator);
        EXPECT_TRUE(params.empty());
        EXPECT_THAT(children, ElementsAre(ElementsAre("a", "b")));
        EXPECT_THAT(keys, ElementsAre("a", "b", "c", "d", "e"));
        fd::call_operator("or_", recorder, pool_of({"solo"}), fe::parse_operator_category(category));
        EXPECT_THAT(children, ElementsAre(IsEmpty()));
    }
}

TEST(PoolSnapshot, DetectsChangesAndToleratesNan) {
    const auto config = config_with(1, 4, 2, 3);
    auto pool = fd::generate_synthetic_signals(config);
    pool->signal(1).weights->data()[2] = kNaN;
    pool->signal(2).metadata->set(Value("nested"), Value::list({kNaN, Dict{{"k", kNaN}}}));
    pool->signal(1).pnl = std::make_shared<num::Matrix>(2, 1);
    pool->signal(1).pnl->data()[1] = kNaN;
    const auto snapshot = fd::snapshot_signal_pool(*pool);
    EXPECT_TRUE(fd::pool_matches_snapshot(*pool, snapshot));
    EXPECT_NE(snapshot[0].second.weights.get(), pool->signal(0).weights.get());  // copies, not the pool's own

    using Change = std::function<void(fe::SignalPool&)>;
    const std::vector<std::pair<const char*, Change>> changes = {
        {"value", [](auto& p) { p.signal(3).metadata->set(Value("is_active"), Value(2)); }},
        {"nested list", [](auto& p) { p.signal(0).metadata->find("rotation_families_used")->as_list().push_back(Value("event")); }},
        {"weight", [](auto& p) { p.signal(0).weights->data()[0] += 1.0; }},
        {"pnl", [](auto& p) { p.signal(0).pnl = std::make_shared<num::Matrix>(1, 1); }},
        {"pnl value", [](auto& p) { p.signal(1).pnl->data()[0] = 1.0; }},
        {"removed key", [](auto& p) { p.signal(0).metadata->pop(Value("is_sharpe")); }},
        {"extra signal", [](auto& p) { p.insert("extra", p.signal(0)); }},
        {"NaN became a number", [](auto& p) { p.signal(0).metadata->set(Value("is_sharpe"), Value(0.0)); }},
    };
    for (const auto& [what, change] : changes) {
        auto changed = fd::generate_synthetic_signals(config);
        changed->signal(0).metadata->set(Value("is_sharpe"), Value(kNaN));
        changed->signal(1).pnl = std::make_shared<num::Matrix>(2, 1);
        const auto snap = fd::snapshot_signal_pool(*changed);
        change(*changed);
        EXPECT_FALSE(fd::pool_matches_snapshot(*changed, snap)) << what;
    }
    EXPECT_FALSE(fd::equal_allowing_nan(Value::list({kNaN}), Value::list({kNaN, kNaN})));
    EXPECT_TRUE(fd::equal_allowing_nan(Dict{{"a", kNaN}, {"b", 1}}, Dict{{"b", 1.0}, {"a", kNaN}}));
    EXPECT_FALSE(fd::equal_allowing_nan(Dict{{"a", kNaN}}, Dict{{"b", kNaN}}));
}
