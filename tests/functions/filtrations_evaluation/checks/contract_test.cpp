#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <tuple>

#include "functions/filtrations_evaluation/checks/check_support.hpp"

namespace {

using namespace brindlecap::test::checks;

// A combinator that raises ValueError when its pool is empty and otherwise returns its child.
fe::Operator crashes_on_empty_pool() {
    return fe::combinator_operator("and_", [](const IdSet& keys, const Dict&, const std::vector<IdSet>& children) {
        if (keys.empty()) throw rt::ValueError("pool has no signals");
        return fe::OperatorResult(children.at(0));
    });
}

// An in_ that appends to every list value it is handed: the signals' metadata changes.
fe::Operator appends_to_lists() {
    return fe::field_operator("in_", [](const fe::PreparedField& prepared, const Dict&) {
        for (const auto& pv : prepared.values) {
            if (pv.value->is_list()) const_cast<Value*>(pv.value)->as_list().emplace_back("tampered");
        }
        return fe::OperatorResult(IdSet::over(prepared.pool_keys.universe()));
    });
}

TEST(ContractCheck, VerdictsOnCorrectAndBrokenOperators) {
    const auto empty_filtration_on_empty_pool =
        fe::combinator_operator("or_", [](const IdSet& keys, const Dict&, const std::vector<IdSet>& children) {
            if (keys.empty()) throw fe::EmptyFiltrationError("nothing passes");
            return fe::OperatorResult(children.at(0));
        });
    // A result outside the pool is rejected by result validation before the check sees it.
    const auto foreign = fe::field_operator("gt", [](const fe::PreparedField&, const Dict&) {
        return fe::OperatorResult(IdSet{"synth_0001", "x9"});
    });
    const std::string valid = "Returns Set[str]; All returned IDs valid; ";
    const std::vector<std::tuple<const char*, fe::Operator, const char*, std::string>> cases = {
        {"gt", builtin("gt"), "pass", valid + "Pool not mutated; Empty pool raises expected error"},
        {"and_", builtin("and_"), "pass", valid + "Pool not mutated; Empty pool handled"},
        {"or_", empty_filtration_on_empty_pool, "pass", valid + "Pool not mutated; Empty pool raises expected error"},
        {"in_", appends_to_lists(), "fail", valid + "Pool mutated!; Empty pool raises expected error"},
        {"and_", crashes_on_empty_pool(), "fail",
         valid + "Pool not mutated; Empty pool crash: ValueError: pool has no signals"},
        {"gt", foreign, "fail", "Exception: FiltrationSubsetError: Operator returned IDs not in pool: ['x9']"},
    };
    for (const auto& [name, op, status, details] : cases) {
        auto config = demo_config();
        auto rng = fd::make_rng(5);
        EXPECT_EQ(verdict(fd::run_check_1_contract(name, op, config, rng)), status + (": " + details));
        // The caller's metadata is copied into the pool, so it stays as it was.
        EXPECT_EQ(config.signal_metadata->at(Value("synth_0000")).as_dict().at(Value("rotation_families_used")),
                  Value::list({"numerical", "event", "latitudinal"}));
    }

    // Real mode without metadata cannot build the pool.
    fe::FiltrationEvaluationConfig real;
    real.mode = "real";
    EXPECT_EQ(verdict(run_seeded(fd::run_check_1_contract, "gt", builtin("gt"), 1, real)),
              "fail: Exception: ValueError: signal_metadata is required after real-mode ingestion; synthetic signal "
              "metadata is not allowed in mode='real'.");
}

TEST(ContractCheck, EachCheckSeedsItsPoolFromOneDraw) {
    // The operator sees the synthetic pool built from default_rng(first draw of the check generator).
    auto config = synthetic_config();
    std::vector<double> seen;
    auto recorder = select_where("gt", [&seen](const Value& v, const Dict&) {
        seen.push_back(v.as_float());
        return false;
    });

    for (int which = 0; which < 2; ++which) {
        SCOPED_TRACE(which);
        seen.clear();
        auto rng = fd::make_rng(2024);
        auto expected_rng = fd::make_rng(2024);
        auto pool_rng = fd::make_rng(expected_rng.integers(0, SEED_BOUND));
        const fd::PoolPtr expected_pool = fd::generate_synthetic_signals(config, &pool_rng);

        const fe::CheckOutcome out = which == 0 ? fd::run_check_1_contract("gt", recorder, config, rng)
                                                : fd::run_check_2_shape("gt", recorder, config, rng);
        EXPECT_EQ(out.status, fe::CheckStatus::pass) << out.details;
        EXPECT_TRUE(same_state(rng, expected_rng));

        std::vector<double> want;
        for (const auto& [id, signal] : *expected_pool) want.push_back(signal.metadata->at(Value("is_sharpe")).as_float());
        EXPECT_EQ(seen, want);
    }
}

TEST(ShapeCheck, CorrectOperatorReportsFixedStatements) {
    EXPECT_EQ(verdict(run_seeded(fd::run_check_2_shape, "top_n", builtin("top_n"), 0)),
              "pass: Output type: set (correct); resolve_filtrations returns FiltrationResult; "
              "extract_filtration_weights returns ndarray float64");

    const fe::CheckOutcome failed =
        run_seeded(fd::run_check_2_shape, "gt", raising_leaf("gt", rt::KeyError(Value("is_sharpe"))), 0);
    EXPECT_EQ(verdict(failed), "fail: Exception: KeyError: 'is_sharpe'");
    EXPECT_EQ(failed.evidence.get("error"), Value("'is_sharpe'"));
}

}  // namespace
