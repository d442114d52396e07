#include <gtest/gtest.h>

#include "functions/filtrations_evaluation/checks/check_support.hpp"

namespace {

using namespace brindlecap::test::checks;

// The sixteen built-ins must pass the contract, shape, correctness and NaN checks on the demo
// signal set, with check generators drawn as the pipeline draws them.
TEST(BuiltinOperatorChecks, AllSixteenPassOnTheDemoSignals) {
    const std::vector<std::string> names = {"gt",        "gte",        "lt",    "lte",      "eq",  "neq",
                                            "between",   "in_",        "top_pct", "bottom_pct", "top_n",
                                            "bottom_n",  "and_",       "or_",   "not_",     "filtration"};
    ASSERT_EQ(names.size(), 16U);
    for (const auto& name : names) {
        SCOPED_TRACE(name);
        auto config = demo_config();
        const fe::Operator op = builtin(name);
        auto seeds = fd::make_rng(config.seed);
        auto next = [&seeds] { return fd::make_rng(seeds.integers(0, kSeedBound)); };

        auto rng1 = next();
        const fe::CheckOutcome contract = fd::run_check_1_contract(name, op, config, rng1);
        EXPECT_EQ(contract.status, "pass") << contract.details;
        auto rng2 = next();
        const fe::CheckOutcome correctness = fd::run_check_3_correctness(name, op, config, rng2);
        EXPECT_EQ(correctness.status, "pass") << correctness.details;
        EXPECT_EQ(correctness.evidence.get("mismatch_count"), Value(0));
        auto rng3 = next();
        const fe::CheckOutcome nan = fd::run_check_4_nan(name, op, config, rng3);
        EXPECT_EQ(nan.status, "pass") << nan.details;
        EXPECT_EQ(nan.evidence.get("nan_excluded"), Value(true)) << nan.details;
        auto rng4 = next();
        const fe::CheckOutcome shape = fd::run_check_2_shape(name, op, config, rng4);
        EXPECT_EQ(shape.status, "pass") << shape.details;
    }
}

}  // namespace
