#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <any>
#include <cmath>
#include <set>

#include "brindlecap/functions/filtrations/builtin_runtime_targets.hpp"
#include "brindlecap/runtime/modules_internal.hpp"
#include "functions/filtrations_evaluation/checks/check_support.hpp"

namespace {

using namespace brindlecap::test::checks;
namespace filtrations = brindlecap::functions::filtrations;
using ::testing::ElementsAre;

std::vector<std::string> case_results(const fe::CheckOutcome& out) {
    std::vector<std::string> r;
    for (const auto& [id, result] : out.evidence.at(Value("boundary_conditions")).as_dict()) {
        r.push_back(id.as_str() + "=" + result.as_str());
    }
    return r;
}

struct Call {
    Dict params;
    std::vector<std::string> ids;  // pool identifiers
    std::vector<Value> values;     // prepared values (leaf calls)
    std::vector<std::size_t> child_sizes;
};

// Records every leaf call and selects nothing.
fe::Operator leaf_recorder(const std::string& name, std::vector<Call>& calls) {
    return fe::field_operator(name, [&calls](const fe::PreparedField& prepared, const Dict& params) {
        Call c{params.copy(), prepared.pool_keys.to_vector(), {}, {}};
        for (const auto& pv : prepared.values) c.values.push_back(*pv.value);
        calls.push_back(std::move(c));
        return fe::OperatorResult(IdSet::over(prepared.pool_keys.universe()));
    });
}

// A wrapper that records its child and drops the child's first identifier.
fe::Operator drops_one(std::vector<Call>& calls) {
    return fe::combinator_operator("filtration", [&calls](const IdSet& keys, const Dict& params,
                                                          const std::vector<IdSet>& children) {
        Call c{params.copy(), keys.to_vector(), {}, {}};
        for (const IdSet& child : children) c.child_sizes.push_back(child.size());
        calls.push_back(std::move(c));
        std::vector<std::string> kept = children.at(0).to_vector();
        if (!kept.empty()) kept.erase(kept.begin());
        return fe::OperatorResult(IdSet(kept));
    });
}

TEST(BoundaryCheck, BoundaryPoolsAndCallParameters) {
    std::vector<Call> calls;
    run_seeded(fd::run_check_6_boundary_family, "gte", leaf_recorder("gte", calls), 6, synthetic_config());
    // BC-01 to BC-04; BC-06 calls the built-in between, not the operator under test.
    ASSERT_EQ(calls.size(), 4U);
    for (const Call& c : calls) EXPECT_EQ(c.params, (Dict{{"field", "is_sharpe"}, {"value", 1.0}}));
    EXPECT_THAT(calls[0].ids, ElementsAre("signal_000"));
    EXPECT_THAT(calls[0].values, ElementsAre(Value(1.5)));
    EXPECT_EQ(calls[1].ids.size(), 10U);
    EXPECT_EQ(calls[1].ids.back(), "signal_009");
    EXPECT_EQ(calls[1].values, std::vector<Value>(10, Value(5.0)));
    EXPECT_EQ(calls[2].ids.size(), 5U);
    EXPECT_TRUE(calls[2].values.empty());  // NaN values never reach the operator
    EXPECT_THAT(calls[3].values, ElementsAre(Value(1e308)));
}

TEST(BoundaryCheck, CombinatorsGetSixNestingLevels) {
    // Every call gets all pool identifiers as its one child, except the nested levels, which get
    // the previous level's output.
    std::vector<Call> calls;
    const fe::CheckOutcome out = run_seeded(fd::run_check_6_boundary_family, "filtration", drops_one(calls), 6);
    EXPECT_EQ(out.status, fe::CheckStatus::pass);
    ASSERT_EQ(calls.size(), 4U + 6U);
    EXPECT_THAT(calls[0].child_sizes, ElementsAre(1));
    EXPECT_THAT(calls[1].child_sizes, ElementsAre(10));
    EXPECT_EQ(calls[0].params, Dict{});
    std::vector<std::size_t> nested;
    for (std::size_t i = 4; i < calls.size(); ++i) nested.push_back(calls[i].child_sizes.at(0));
    EXPECT_THAT(nested, ElementsAre(5, 4, 3, 2, 1, 0));
}

TEST(BoundaryCheck, OperatorRaisingOnEveryCall) {
    auto config = demo_config();
    auto rng = fd::make_rng(6);
    const auto raising = raising_leaf("x", rt::KeyError(Value("is_sharpe")));
    const fe::CheckOutcome out = fd::run_check_6_boundary_family("my_op", raising, config, rng);
    EXPECT_EQ(verdict(out), "fail: Boundary conditions: 4/8 passed");
    EXPECT_THAT(case_results(out), ElementsAre("BC-01=fail: 'is_sharpe'", "BC-02=fail: 'is_sharpe'",
                                               "BC-03=fail: 'is_sharpe'", "BC-04=fail: 'is_sharpe'", "BC-05=pass",
                                               "BC-06=pass", "BC-07=pass", "BC-08=pass"));

    // Nothing passing is accepted on the NaN pool only.
    auto empty = fe::combinator_operator("or_", [](const IdSet&, const Dict&, const std::vector<IdSet>&) -> fe::OperatorResult {
        throw fe::EmptyFiltrationError("0 signals passed");
    });
    const fe::CheckOutcome combinator = fd::run_check_6_boundary_family("or_", empty, config, rng);
    EXPECT_EQ(combinator.details, "Boundary conditions: 5/9 passed");
    EXPECT_THAT(case_results(combinator),
                ElementsAre("BC-01=fail: 0 signals passed", "BC-02=fail: 0 signals passed", "BC-03=pass",
                            "BC-04=fail: 0 signals passed", "BC-05=pass", "BC-06=pass", "BC-07=pass", "BC-08=pass",
                            "BC-09-deep-nested=fail: 0 signals passed"));
    EXPECT_FALSE(combinator.evidence.contains("deep_nesting_levels"));
}

TEST(BoundaryCheck, BuiltInRankSizesAreAlwaysChecked) {
    auto config = demo_config();
    auto rng = fd::make_rng(6);
    const fe::Operator top_n = filtrations::resolve_builtin_filtration_target(filtrations::RANK_MODULE, "_builtin_top_n");
    const fe::Operator between =
        filtrations::resolve_builtin_filtration_target(filtrations::COMPARISON_MODULE, "_builtin_between");
    const fe::Operator rank_op = builtin("bottom_pct");
    const fe::Operator comparison_op = builtin("eq");

    // A top_n that stops at two signals, and a comparison module without a usable between.
    auto two_at_most = fe::field_operator("top_n", [](const fe::PreparedField& prepared, const Dict&) {
        IdSet out = IdSet::over(prepared.pool_keys.universe());
        for (std::size_t i = 0; i < prepared.values.size() && i < 2; ++i) out.insert(prepared.values[i].id);
        return fe::OperatorResult(std::move(out));
    });
    rt::register_module_attr(std::string(filtrations::RANK_MODULE), "_builtin_top_n", std::any(two_at_most));
    rt::register_module_attr(std::string(filtrations::COMPARISON_MODULE), "_builtin_between", std::any(42));

    const fe::CheckOutcome rank = fd::run_check_6_boundary_family("bottom_pct", rank_op, config, rng);
    const fe::CheckOutcome comparison = fd::run_check_6_boundary_family("eq", comparison_op, config, rng);
    const fe::CheckOutcome combinator = fd::run_check_6_boundary_family("and_", builtin("and_"), config, rng);

    rt::register_module_attr(std::string(filtrations::RANK_MODULE), "_builtin_top_n", std::any(top_n));
    rt::register_module_attr(std::string(filtrations::COMPARISON_MODULE), "_builtin_between", std::any(between));

    EXPECT_EQ(verdict(rank), "fail: Boundary conditions: 7/8 passed");
    EXPECT_EQ(case_results(rank).back(), "BC-08=fail: ");

    EXPECT_EQ(comparison.status, fe::CheckStatus::fail);
    EXPECT_EQ(case_results(comparison).at(5),
              "BC-06=fail: attribute '_builtin_between' of module 'brindlecap.functions.filtrations.comparison' is "
              "not a filtration operator");
    // Neither built-in is touched for a combinator.
    EXPECT_EQ(combinator.status, fe::CheckStatus::pass);
}

TEST(BoundaryCheck, DrawsOneSeedAndToleratesEmptyColumns) {
    auto config = synthetic_config();
    auto rng = fd::make_rng(77);
    auto expected = fd::make_rng(77);
    expected.integers(0, SEED_BOUND);
    fd::run_check_6_boundary_family("eq", builtin("eq"), config, rng);
    EXPECT_TRUE(same_state(rng, expected));

    // Pools without allocation columns still build; negative dimensions fail every pool case.
    config.N_alloc = 0;
    EXPECT_EQ(fd::run_check_6_boundary_family("eq", builtin("eq"), config, rng).details,
              "Boundary conditions: 8/8 passed");
    config.T = -1;
    const fe::CheckOutcome negative = fd::run_check_6_boundary_family("eq", builtin("eq"), config, rng);
    EXPECT_EQ(verdict(negative), "fail: Boundary conditions: 0/8 passed");
    EXPECT_EQ(case_results(negative).front(), "BC-01=fail: negative dimensions are not allowed");
}

}  // namespace
