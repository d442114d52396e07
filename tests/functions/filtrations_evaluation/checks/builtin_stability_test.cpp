#include <gtest/gtest.h>

#include "functions/filtrations_evaluation/checks/check_support.hpp"

namespace {

using namespace brindlecap::test::checks;

// The sixteen built-ins pass the determinism, parallel-safety and boundary checks on the demo
// signal set with the check generators the pipeline hands them (seeds 4 to 6 of the operator
// generator); a second run gives the same outcomes.
TEST(BuiltinOperatorChecks, AllSixteenPassDeterminismParallelAndBoundary) {
    const std::vector<std::string> names = {"gt",      "gte", "lt",      "lte",        "eq",    "neq",
                                            "between", "in_", "top_pct", "bottom_pct", "top_n", "bottom_n",
                                            "and_",    "or_", "not_",    "filtration"};
    ASSERT_EQ(names.size(), 16U);
    for (const auto& name : names) {
        SCOPED_TRACE(name);
        const fe::Operator op = builtin(name);
        std::vector<std::string> printed[2];
        for (auto& run : printed) {
            auto config = demo_config();
            auto seeds = fd::make_rng(config.seed);
            for (int skipped = 0; skipped < 3; ++skipped) seeds.integers(0, kSeedBound);
            auto rng4 = fd::make_rng(seeds.integers(0, kSeedBound));
            auto rng5 = fd::make_rng(seeds.integers(0, kSeedBound));
            auto rng6 = fd::make_rng(seeds.integers(0, kSeedBound));

            const std::vector<fe::CheckOutcome> outcomes = {
                fd::run_check_4_determinism(name, op, config, rng4),
                fd::run_check_5_parallel_safety(name, op, config, rng5),
                fd::run_check_6_boundary_family(name, op, config, rng6),
            };
            for (const auto& out : outcomes) {
                EXPECT_EQ(out.status, "pass") << out.details;
                run.push_back(out.status + " " + out.details + " " + rt::repr(Value(out.evidence)));
            }
        }
        EXPECT_EQ(printed[0], printed[1]);
    }
}

}  // namespace
