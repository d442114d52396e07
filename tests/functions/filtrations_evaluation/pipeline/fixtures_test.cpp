#include "brindlecap/functions/filtrations_evaluation/pipeline/fixtures.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <thread>

#include "brindlecap/functions/filtrations_evaluation/pipeline/results.hpp"
#include "functions/filtrations_evaluation/pipeline/golden_pool.hpp"
#include "runtime/value_printer.hpp"

namespace fe = brindlecap::functions::filtrations_evaluation;
namespace fd = brindlecap::functions::filtrations_evaluation::detail;
namespace rt = brindlecap::runtime;
namespace num = brindlecap::numeric;
using fe::Dict;
using fe::IdSet;
using fe::Value;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

fe::FiltrationEvaluationConfig config_with(std::int64_t seed, std::int64_t n, std::int64_t t, std::int64_t a) {
    fe::FiltrationEvaluationConfig c;
    c.mode = "mock";
    c.seed = seed;
    c.N_signals = n;
    c.T = t;
    c.N_alloc = a;
    return c;
}

bool same_state(const num::Generator& a, const num::Generator& b) {
    const auto x = a.state();
    const auto y = b.state();
    return x.state == y.state && x.inc == y.inc && x.has_uint32 == y.has_uint32 &&
           (!x.has_uint32 || x.uinteger == y.uinteger);
}

std::vector<std::string> pool_ids(const fe::SignalPool& pool) {
    std::vector<std::string> out;
    for (const auto& [id, signal] : pool) out.push_back(id);
    return out;
}

// Compares a pool with a golden dump: order, weights bit for bit, metadata (NaN equal NaN) and
// metadata key order.
void expect_matches_golden(const fe::SignalPool& pool, const nlohmann::ordered_json& golden) {
    const auto ids = golden.at("ids").get<std::vector<std::string>>();
    ASSERT_EQ(pool_ids(pool), ids);
    for (const auto& id : ids) {
        SCOPED_TRACE(id);
        const auto& entry = golden.at("signals").at(id);
        const fe::UsefulSignal* signal = pool.find(id);
        ASSERT_NE(signal, nullptr);
        EXPECT_EQ(signal->pnl, nullptr);

        const Value expected = brindlecap::test::to_value(entry.at("metadata"));
        EXPECT_TRUE(fd::equal_allowing_nan(*signal->metadata, expected.as_dict()))
            << rt::repr(Value(*signal->metadata)) << " vs " << rt::repr(expected);
        EXPECT_EQ(rt::repr(Value(signal->metadata->keys())), rt::repr(Value(expected.as_dict().keys())));

        const auto shape = entry.at("shape").get<std::vector<std::size_t>>();
        ASSERT_EQ(signal->weights->rows(), shape.at(0));
        ASSERT_EQ(signal->weights->cols(), shape.at(1));
        const auto weights = brindlecap::test::hex_doubles(entry.at("weights"));
        ASSERT_EQ(weights.size(), signal->weights->size());
        std::size_t differing = 0;
        for (std::size_t i = 0; i < weights.size(); ++i) {
            differing += std::bit_cast<std::uint64_t>(weights[i]) !=
                         std::bit_cast<std::uint64_t>(signal->weights->data()[i]);
        }
        EXPECT_EQ(differing, 0U);
    }
}

// An operator that records how it was called and selects nothing.
struct Recorder {
    struct Call {
        fe::CallForm form;
        Dict params;
        std::vector<std::vector<std::string>> children;
        std::vector<std::string> pool_keys;
    };
    std::shared_ptr<std::vector<Call>> calls = std::make_shared<std::vector<Call>>();

    fe::Operator op() const {
        auto log = calls;
        return [log](const fe::OperatorCall& call) -> fe::OperatorResult {
            Call c{call.form, call.params ? call.params->copy() : Dict{}, {}, {}};
            if (call.children_results) {
                for (const auto& s : *call.children_results) c.children.push_back(s.sorted());
            }
            if (call.pool_keys) c.pool_keys = call.pool_keys->sorted();
            log->push_back(std::move(c));
            return IdSet{};
        };
    }
};

fe::SignalPool pool_of(const std::vector<std::string>& ids) {
    fe::SignalPool pool;
    for (const auto& id : ids) {
        pool.insert(id, fe::UsefulSignal::make(Dict{{"is_sharpe", 1.0},
                                                    {"rotation_families_used", Value::list({"numerical"})}},
                                               num::Matrix(1, 1)));
    }
    return pool;
}

}  // namespace

// ---- golden pools ------------------------------------------------------------------------------

TEST(FixtureGolden, SyntheticBranchMatchesNumpy) {
    for (const auto& [file, seed, n, t, a] :
         {std::tuple{"synthetic_seed0_n12_t5_a4.json", 0, 12, 5, 4},
          std::tuple{"synthetic_seed12345_n3_t50_a50.json", 12345, 3, 50, 50}}) {
        SCOPED_TRACE(file);
        const auto golden = brindlecap::test::load_golden(file);
        auto config = config_with(seed, n, t, a);
        num::Generator rng = num::default_rng(static_cast<std::uint64_t>(seed));
        expect_matches_golden(*fd::generate_synthetic_signals(config, &rng), golden);
        // Without a generator, one is made from config.seed.
        expect_matches_golden(*fd::generate_synthetic_signals(config), golden);
    }
}

TEST(FixtureGolden, MetadataBranchMatchesNumpy) {
    const auto golden = brindlecap::test::load_golden("metadata_branch_seed3_t5_a4.json");
    auto config = config_with(3, 0, 5, 4);
    Dict metadata;
    for (const auto& id : golden.at("ids")) {
        metadata.set(Value(id.get<std::string>()),
                     brindlecap::test::to_value(golden.at("signals").at(id.get<std::string>()).at("metadata")));
    }
    config.signal_metadata = metadata;
    num::Generator rng = num::default_rng(3);
    expect_matches_golden(*fd::generate_synthetic_signals(config, &rng), golden);
}

TEST(FixtureGolden, CorrectnessPoolMatchesNumpy) {
    const auto golden = brindlecap::test::load_golden("correctness_seed7_t5_a4.json");
    auto config = config_with(0, 0, 5, 4);
    num::Generator rng = num::default_rng(7);
    expect_matches_golden(*fd::build_correctness_test_pool(config, rng), golden);
}

TEST(FixtureGolden, SeededOperatorFixtureMatchesNumpy) {
    const auto golden = brindlecap::test::load_golden("seeded_top_n_seed0_n8_t3_a2.json");
    auto config = config_with(0, 8, 3, 2);
    const auto [pool, category] = fd::build_seeded_operator_fixture("top_n", config);
    EXPECT_EQ(category, golden.at("category").get<std::string>());
    expect_matches_golden(*pool, golden);
    // Every call gives a new pool with the same contents.
    const auto again = fd::build_seeded_operator_fixture("top_n", config).first;
    EXPECT_NE(again.get(), pool.get());
    EXPECT_TRUE(fd::pool_matches_snapshot(*again, fd::snapshot_signal_pool(*pool)));
}

TEST(FixtureGolden, DemoSignalMetadataMatchesNumpy) {
    const auto golden = brindlecap::test::load_golden("demo_signals.json");
    auto config = config_with(2026, 24, 50, 50);
    const auto pool = fd::generate_synthetic_signals(config);
    ASSERT_EQ(pool->size(), golden.size());
    std::size_t i = 0;
    for (const auto& [id, metadata] : golden.items()) {
        SCOPED_TRACE(id);
        ASSERT_EQ(pool->id(i), id);
        EXPECT_TRUE(fd::equal_allowing_nan(*pool->signal(i).metadata,
                                           brindlecap::test::to_value(metadata).as_dict()));
        ++i;
    }
}

// ---- generator use ------------------------------------------------------------------------------

TEST(FixtureDraws, CorrectnessPoolAdvancesCallerByOneIntegerDraw) {
    for (const auto& [t, a] : {std::pair{1, 1}, std::pair{5, 4}, std::pair{40, 30}}) {
        auto config = config_with(0, 0, t, a);
        num::Generator rng = num::default_rng(123);
        num::Generator expected = num::default_rng(123);
        const auto seed = expected.integers(0, 2147483648LL);
        const auto pool = fd::build_correctness_test_pool(config, rng);
        EXPECT_TRUE(same_state(rng, expected));
        // The pool's weights come from a generator seeded with that draw.
        num::Generator inner = num::default_rng(static_cast<std::uint64_t>(seed));
        const num::Matrix first = inner.standard_normal(static_cast<std::size_t>(t), static_cast<std::size_t>(a));
        EXPECT_TRUE(num::array_equal(*pool->signal(0).weights, first, false));
        EXPECT_EQ(pool->size(), 25U);
    }
}

TEST(FixtureDraws, MetadataBranchDrawsOneMatrixPerSignalAndCopiesMetadata) {
    auto config = config_with(0, 0, 3, 2);
    Dict inner{{"is_sharpe", 1.0}, {"tags", Value::list({"x"})}};
    config.signal_metadata = Dict{{"s1", inner}, {"s2", Dict{}}};
    num::Generator rng = num::default_rng(5);
    num::Generator expected = num::default_rng(5);
    expected.skip_standard_normal(2 * 3 * 2);
    const auto pool = fd::generate_synthetic_signals(config, &rng);
    EXPECT_TRUE(same_state(rng, expected));
    ASSERT_EQ(pool_ids(*pool), (std::vector<std::string>{"s1", "s2"}));

    // A deep copy: changing the pool's metadata leaves the configuration's untouched.
    pool->signal(0).metadata->find("tags")->as_list().push_back(Value("y"));
    pool->signal(0).metadata->set(Value("is_sharpe"), Value(2.0));
    const Dict& original = config.signal_metadata->find("s1")->as_dict();
    EXPECT_EQ(original.get("is_sharpe"), Value(1.0));
    EXPECT_EQ(original.get("tags").as_list().size(), 1U);
}

TEST(FixtureDraws, SourceSelectionAndRealModeGuard) {
    auto config = config_with(9, 4, 2, 2);
    config.mock_signals = Dict{{"m1", Dict{{"a", 1}}}};
    EXPECT_THAT(pool_ids(*fd::generate_synthetic_signals(config)), ElementsAre("m1"));

    config.signal_metadata = Dict{};
    EXPECT_EQ(fd::generate_synthetic_signals(config)->size(), 0U);  // empty, not absent

    // Real mode with metadata takes the metadata branch.
    config.mode = "real";
    config.signal_metadata = Dict{{"r1", Dict{}}};
    EXPECT_THAT(pool_ids(*fd::generate_synthetic_signals(config)), ElementsAre("r1"));

    // Real mode without metadata fails before drawing anything.
    config.signal_metadata.reset();
    config.mock_signals.reset();
    num::Generator rng = num::default_rng(9);
    const num::Generator untouched = num::default_rng(9);
    try {
        fd::generate_synthetic_signals(config, &rng);
        FAIL() << "expected ValueError";
    } catch (const rt::ValueError& e) {
        EXPECT_STREQ(e.what(),
                     "signal_metadata is required after real-mode ingestion; synthetic signal metadata is "
                     "not allowed in mode='real'.");
    }
    EXPECT_TRUE(same_state(rng, untouched));
}

TEST(FixtureDraws, SyntheticPoolsRepeatFromASeedAndDifferFromOneStream) {
    auto config = config_with(4, 5, 3, 3);
    num::Generator a = num::default_rng(4);
    num::Generator b = num::default_rng(4);
    const auto pa = fd::generate_synthetic_signals(config, &a);
    const auto pb = fd::generate_synthetic_signals(config, &b);
    EXPECT_TRUE(fd::pool_matches_snapshot(*pb, fd::snapshot_signal_pool(*pa)));
    const auto pc = fd::generate_synthetic_signals(config, &a);
    EXPECT_FALSE(fd::pool_matches_snapshot(*pc, fd::snapshot_signal_pool(*pa)));

    config.N_signals = 0;
    EXPECT_EQ(fd::generate_synthetic_signals(config)->size(), 0U);

    config.seed = -1;
    EXPECT_THROW(fd::generate_synthetic_signals(config), rt::ValueError);
}

TEST(FixtureDraws, SyntheticMetadataHasTheDocumentedShape) {
    auto config = config_with(11, 200, 1, 1);
    const auto pool = fd::generate_synthetic_signals(config);
    ASSERT_EQ(pool->size(), 200U);
    EXPECT_EQ(pool->id(0), "synth_0000");
    EXPECT_EQ(pool->id(199), "synth_0199");
    const std::set<std::string> families = {"numerical", "latitudinal", "longitudinal",
                                            "collection", "comparison",  "event"};
    for (const auto& [id, signal] : *pool) {
        const Dict& m = *signal.metadata;
        const auto& used = m.get("rotation_families_used").as_list();
        std::set<std::string> distinct;
        for (const auto& f : used) distinct.insert(f.as_str());
        EXPECT_TRUE(used.size() >= 1 && used.size() <= 3);
        EXPECT_EQ(distinct.size(), used.size());
        for (const auto& f : distinct) EXPECT_TRUE(families.contains(f)) << f;
        const auto complexity = m.get("expression_complexity").as_int();
        EXPECT_TRUE(complexity >= 1 && complexity <= 20);
        const double date = m.get("submission_date").as_float();
        EXPECT_TRUE(date >= 1.7e9 && date < 1.71e9);
        EXPECT_GE(m.get("is_turnover").as_float(), 0.0);
        EXPECT_TRUE(m.get("is_active").is_bool());
    }
}

// ---- pool keeper ---------------------------------------------------------------------------------

TEST(PoolKeeper, HoldsNoPoolAliveAndCountsAppends) {
    auto& keeper = fd::pool_keeper();
    keeper.clear();
    auto config = config_with(0, 3, 2, 2);
    auto held = fd::generate_synthetic_signals(config);
    for (int i = 0; i < 500; ++i) fd::generate_synthetic_signals(config);
    EXPECT_EQ(keeper.size(), 501U);
    EXPECT_EQ(keeper.alive(), 1U);
    held.reset();
    EXPECT_EQ(keeper.alive(), 0U);
    keeper.clear();
    EXPECT_EQ(keeper.size(), 0U);
}

TEST(PoolKeeper, AppendsFromSeveralThreads) {
    auto& keeper = fd::pool_keeper();
    keeper.clear();
    std::vector<fd::PoolPtr> pools(800);
    for (auto& p : pools) p = std::make_shared<fe::SignalPool>();
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = t; i < 800; i += 4) keeper.append(pools[static_cast<std::size_t>(i)]);
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(keeper.size(), 800U);
    EXPECT_EQ(keeper.alive(), 800U);
    keeper.clear();
}

// ---- categories and invocation -------------------------------------------------------------------

TEST(OperatorCategory, ByName) {
    for (const char* n : {"gt", "gte", "lt", "lte", "eq", "neq", "between", "in_"})
        EXPECT_EQ(fd::get_operator_category(n), "comparison") << n;
    for (const char* n : {"top_pct", "bottom_pct", "top_n", "bottom_n"})
        EXPECT_EQ(fd::get_operator_category(n), "rank") << n;
    for (const char* n : {"and_", "or_", "not_"}) EXPECT_EQ(fd::get_operator_category(n), "boolean") << n;
    EXPECT_EQ(fd::get_operator_category("filtration"), "wrapper");
    EXPECT_EQ(fd::get_operator_category("my_plugin_op"), "unknown");
    EXPECT_EQ(fd::get_operator_category("and"), "unknown");
}

TEST(CallOperator, DefaultParametersPerCategory) {
    const auto pool = pool_of({"a", "b", "c", "d", "e"});
    struct Case {
        const char* name;
        const char* category;
        Dict params;
    };
    const std::vector<Case> leaf_cases = {
        {"top_pct", "rank", Dict{{"field", "is_sharpe"}, {"pct", 0.5}}},
        {"bottom_pct", "rank", Dict{{"field", "is_sharpe"}, {"pct", 0.5}}},
        {"top_n", "rank", Dict{{"field", "is_sharpe"}, {"n", 5}}},
        {"bottom_n", "rank", Dict{{"field", "is_sharpe"}, {"n", 5}}},
        {"between", "comparison", Dict{{"field", "is_sharpe"}, {"low", -10.0}, {"high", 10.0}}},
        {"in_", "comparison", Dict{{"field", "rotation_families_used"}, {"values", Value::list({"numerical"})}}},
        {"gt", "comparison", Dict{{"field", "is_sharpe"}, {"value", 0.0}}},
        {"neq", "comparison", Dict{{"field", "is_sharpe"}, {"value", 0.0}}},
        {"custom", "unknown", Dict{{"field", "is_sharpe"}, {"value", 0.0}}},
    };
    for (const auto& c : leaf_cases) {
        SCOPED_TRACE(c.name);
        Recorder rec;
        fd::call_operator(c.name, rec.op(), pool, c.category);
        ASSERT_EQ(rec.calls->size(), 1U);
        EXPECT_EQ(rec.calls->at(0).form, fe::CallForm::FieldLeaf);
        EXPECT_EQ(rec.calls->at(0).params, c.params);
        EXPECT_EQ(rt::repr(Value(rec.calls->at(0).params.keys())), rt::repr(Value(c.params.keys())));
    }
    // Combinators get no parameters and the first half of the pool (rounded down) as one child.
    for (const char* category : {"boolean", "wrapper"}) {
        SCOPED_TRACE(category);
        Recorder rec;
        fd::call_operator("and_", rec.op(), pool, category);
        ASSERT_EQ(rec.calls->size(), 1U);
        const auto& call = rec.calls->at(0);
        EXPECT_EQ(call.form, fe::CallForm::Combinator);
        EXPECT_TRUE(call.params.empty());
        EXPECT_THAT(call.children, ElementsAre(ElementsAre("a", "b")));
        EXPECT_THAT(call.pool_keys, ElementsAre("a", "b", "c", "d", "e"));

        Recorder one;
        fd::call_operator("or_", one.op(), pool_of({"solo"}), category);
        EXPECT_THAT(one.calls->at(0).children, ElementsAre(IsEmpty()));
    }
}

TEST(CallOperator, GivenParametersAndChildResults) {
    const auto pool = pool_of({"a", "b", "c"});

    // Absent children_results: one empty child.
    Recorder rec;
    Dict params{{"select_all", true}};
    fd::call_operator("filtration", rec.op(), pool, "wrapper", &params);
    EXPECT_EQ(rec.calls->at(0).form, fe::CallForm::Combinator);
    EXPECT_THAT(rec.calls->at(0).children, ElementsAre(IsEmpty()));

    // Given as set objects or as lists of strings; the key is removed from the caller's dict.
    Dict with_sets{{"children_results", Value::list({fe::id_set_value(IdSet{"a", "c"}), Value::list({"b"})})},
                   {"x", 1}};
    Recorder rec2;
    fd::call_operator("or_", rec2.op(), pool, "boolean", &with_sets);
    EXPECT_FALSE(with_sets.contains("children_results"));
    EXPECT_EQ(rec2.calls->at(0).params, (Dict{{"x", 1}}));
    EXPECT_THAT(rec2.calls->at(0).children, ElementsAre(ElementsAre("a", "c"), ElementsAre("b")));

    // An empty children list means no children: the leaf form.
    Dict empty_children{{"children_results", Value::list({})}};
    Recorder rec3;
    fd::call_operator("and_", rec3.op(), pool, "boolean", &empty_children);
    EXPECT_EQ(rec3.calls->at(0).form, fe::CallForm::PlainLeaf);

    Dict bad{{"children_results", Value::list({Value(3)})}};
    EXPECT_THROW(fd::call_operator("and_", rec3.op(), pool, "boolean", &bad), rt::TypeError);

    // Other categories keep the caller's dict as it is.
    Dict leaf{{"field", "is_sharpe"}, {"value", 0.5}, {"children_results", Value::list({})}};
    Recorder rec4;
    fd::call_operator("gt", rec4.op(), pool, "comparison", &leaf);
    EXPECT_TRUE(leaf.contains("children_results"));
    EXPECT_EQ(rec4.calls->at(0).form, fe::CallForm::FieldLeaf);
}

TEST(DispatchOp, FormFollowsChildrenAndField) {
    const auto pool = pool_of({"a", "b"});
    Recorder rec;
    fd::dispatch_op("x", rec.op(), pool, Dict{}, std::vector<IdSet>{});
    fd::dispatch_op("x", rec.op(), pool, Dict{}, std::vector<IdSet>{IdSet{"a"}});
    fd::dispatch_op("x", rec.op(), pool, Dict{{"field", "is_sharpe"}}, std::vector<IdSet>{IdSet{"a"}});
    fd::dispatch_op("x", rec.op(), pool, Dict{});
    ASSERT_EQ(rec.calls->size(), 4U);
    EXPECT_EQ(rec.calls->at(0).form, fe::CallForm::PlainLeaf);
    EXPECT_EQ(rec.calls->at(1).form, fe::CallForm::Combinator);
    EXPECT_EQ(rec.calls->at(2).form, fe::CallForm::Combinator);
    EXPECT_EQ(rec.calls->at(3).form, fe::CallForm::PlainLeaf);
}

TEST(IdOrderProbe, DetectsOrderDependentOperators) {
    auto config = config_with(3, 12, 2, 2);
    // Selects by value: independent of order.
    const fe::Operator by_value = fe::field_operator(
        "gt", [](const fe::PreparedField& prepared, const Dict&) -> fe::OperatorResult {
            IdSet out;
            for (const auto& pv : prepared.values) {
                if (pv.value->as_float() > 0.0) out.insert(pv.id);
            }
            return out;
        });
    EXPECT_TRUE(fd::test_id_order_independence("gt", by_value, "comparison", config));
    // Selects the first prepared value: depends on the order.
    const fe::Operator first_one = fe::field_operator(
        "gt", [](const fe::PreparedField& prepared, const Dict&) -> fe::OperatorResult {
            IdSet out;
            if (!prepared.values.empty()) out.insert(prepared.values.front().id);
            return out;
        });
    EXPECT_FALSE(fd::test_id_order_independence("gt", first_one, "comparison", config));
    // Combinators receive each pool's own first half.
    const fe::Operator passthrough = fe::combinator_operator(
        "and_", [](const IdSet&, const Dict&, const std::vector<IdSet>& children) -> fe::OperatorResult {
            return children.at(0);
        });
    EXPECT_FALSE(fd::test_id_order_independence("and_", passthrough, "boolean", config));
}

// ---- snapshots -----------------------------------------------------------------------------------

TEST(PoolSnapshot, DetectsChangesAndToleratesNan) {
    auto config = config_with(1, 4, 2, 3);
    auto pool = fd::generate_synthetic_signals(config);
    pool->signal(1).weights->data()[2] = std::nan("");
    pool->signal(2).metadata->set(Value("is_sharpe"), Value(std::nan("")));
    pool->signal(2).metadata->set(Value("nested"), Value::list({Value(std::nan("")), Value(Dict{{"k", std::nan("")}})}));
    const auto snapshot = fd::snapshot_signal_pool(*pool);
    EXPECT_TRUE(fd::pool_matches_snapshot(*pool, snapshot));

    // Snapshot arrays are copies, not the pool's own.
    EXPECT_NE(snapshot[0].second.weights.get(), pool->signal(0).weights.get());

    {
        auto changed = fd::generate_synthetic_signals(config);
        const auto snap = fd::snapshot_signal_pool(*changed);
        changed->signal(3).metadata->set(Value("is_active"), Value(2));
        EXPECT_FALSE(fd::pool_matches_snapshot(*changed, snap));
    }
    {
        auto changed = fd::generate_synthetic_signals(config);
        const auto snap = fd::snapshot_signal_pool(*changed);
        changed->signal(0).metadata->find("rotation_families_used")->as_list().push_back(Value("event"));
        EXPECT_FALSE(fd::pool_matches_snapshot(*changed, snap));
    }
    {
        auto changed = fd::generate_synthetic_signals(config);
        const auto snap = fd::snapshot_signal_pool(*changed);
        changed->signal(0).weights->data()[0] += 1.0;
        EXPECT_FALSE(fd::pool_matches_snapshot(*changed, snap));
    }
    {
        auto changed = fd::generate_synthetic_signals(config);
        const auto snap = fd::snapshot_signal_pool(*changed);
        changed->signal(0).pnl = std::make_shared<num::Matrix>(1, 1);
        EXPECT_FALSE(fd::pool_matches_snapshot(*changed, snap));
    }
    {
        auto changed = fd::generate_synthetic_signals(config);
        const auto snap = fd::snapshot_signal_pool(*changed);
        changed->signal(0).metadata->pop(Value("is_sharpe"));
        EXPECT_FALSE(fd::pool_matches_snapshot(*changed, snap));
    }
    {
        // A different identifier set.
        auto changed = fd::generate_synthetic_signals(config);
        const auto snap = fd::snapshot_signal_pool(*changed);
        changed->insert("extra", changed->signal(0));
        EXPECT_FALSE(fd::pool_matches_snapshot(*changed, snap));
    }
    {
        // A replaced NaN is still a NaN; a NaN that became a number is a change.
        auto changed = fd::generate_synthetic_signals(config);
        changed->signal(0).metadata->set(Value("x"), Value(std::nan("")));
        const auto snap = fd::snapshot_signal_pool(*changed);
        changed->signal(0).metadata->set(Value("x"), Value(0.0));
        EXPECT_FALSE(fd::pool_matches_snapshot(*changed, snap));
    }
}

TEST(PoolSnapshot, NanAwareEquality) {
    const double nan = std::nan("");
    EXPECT_TRUE(fd::equal_allowing_nan(Value(nan), Value(nan)));
    EXPECT_FALSE(fd::equal_allowing_nan(Value(nan), Value(1.0)));
    EXPECT_TRUE(fd::equal_allowing_nan(Value(1), Value(1.0)));
    EXPECT_FALSE(fd::equal_allowing_nan(Value::list({nan}), Value::list({nan, nan})));
    EXPECT_TRUE(fd::equal_allowing_nan(Dict{{"a", nan}, {"b", 1}}, Dict{{"b", 1}, {"a", nan}}));
    EXPECT_FALSE(fd::equal_allowing_nan(Dict{{"a", nan}}, Dict{{"b", nan}}));
}
