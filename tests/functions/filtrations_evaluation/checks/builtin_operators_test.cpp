#include <gtest/gtest.h>

#include <functional>

#include "brindlecap/functions/filtrations_evaluation/core/operator_table_internal.hpp"
#include "brindlecap/runtime/log.hpp"
#include "functions/filtrations_evaluation/checks/check_support.hpp"

namespace {

using namespace brindlecap::test::checks;

// Every built-in passes all eight checks on the demo signal set, each check with the generator the
// pipeline hands it (seed k of the operator generator for check k); its complement (gt's is lte)
// selects exactly the signals it leaves out.
TEST(BuiltinOperatorChecks, EveryBuiltinPassesEveryCheckAndItsComplementSelectsTheRest) {
    using Check = std::function<fe::CheckOutcome(const std::string&, const fe::Operator&,
                                                 fe::FiltrationEvaluationConfig&, num::Generator&)>;
    const std::vector<Check> checks = {
        fd::run_check_1_contract,        fd::run_check_2_shape,
        [](const std::string& n, const fe::Operator& o, fe::FiltrationEvaluationConfig& c, num::Generator& g) {
            return fd::run_check_3_correctness(n, o, c, g);
        },
        fd::run_check_4_nan,             fd::run_check_4_determinism,      fd::run_check_5_parallel_safety,
        fd::run_check_6_boundary_family, fd::run_check_7_bias,             fd::run_check_8_speed};
    const fe::SignalPool pool = fe::pool_from_value(Value(brindlecap::test::mock_signals(12)));  // a 0.0 at sig_4
    for (const fd::BuiltinOperatorFacts& row : fd::builtin_operators()) {
        const std::string name(row.name);
        SCOPED_TRACE(name);
        const fe::Operator op = builtin(name);
        auto config = demo_config();
        auto seeds = fd::make_rng(config.seed);
        rt::LogCapture capture;  // a failing call would log
        for (std::size_t i = 0; i < checks.size(); ++i) {
            auto rng = fd::make_rng(seeds.integers(0, SEED_BOUND));
            const fe::CheckOutcome out = checks[i](name, op, config, rng);
            EXPECT_EQ(out.status, fe::CheckStatus::pass) << "check " << i << ": " << out.details;
        }
        EXPECT_TRUE(capture.records().empty());
        const std::string complement(row.complement);
        if (complement.empty()) continue;
        EXPECT_EQ(fd::call_operator(complement, builtin(complement), pool, row.category),
                  pool.keys() - fd::call_operator(name, op, pool, row.category));
    }
}

}  // namespace
