#include "demo_signals.hpp"

#include <gtest/gtest.h>

#include "brindlecap/functions/filtrations_evaluation/pipeline/fixtures.hpp"
#include "brindlecap/runtime/json.hpp"
#include "brindlecap/runtime/text.hpp"

namespace brindlecap::cli {
namespace {

namespace fe = functions::filtrations_evaluation;
using runtime::Dict;
using runtime::Value;

TEST(DemoSignals, AreTheSyntheticGeneratorsSignalsForSeed2026) {
    const Dict embedded = runtime::parse_json(demo_signals_json()).as_dict();
    ASSERT_EQ(embedded.size(), static_cast<std::size_t>(DEMO_SIGNAL_COUNT));

    fe::FiltrationEvaluationConfig config;
    config.N_signals = DEMO_SIGNAL_COUNT;
    config.seed = 2026;
    config.T = 50;
    config.N_alloc = 50;
    const fe::detail::PoolPtr pool = fe::detail::generate_synthetic_signals(config);
    ASSERT_EQ(pool->size(), embedded.size());
    for (std::size_t i = 0; i < pool->size(); ++i) {
        const auto& [id, metadata] = embedded.item(i);
        EXPECT_EQ(pool->id(i), id.as_str());
        EXPECT_TRUE(fe::detail::equal_allowing_nan(*pool->signal(i).metadata, metadata.as_dict()))
            << id.as_str() << ": " << runtime::repr(Value(*pool->signal(i).metadata));
    }
    fe::detail::pool_keeper().clear();
}

TEST(DemoSignals, MatchTheGoldenFile) {
    const Value golden = runtime::read_json_file(std::string(BRINDLECAP_TEST_DATA_DIR) + "/golden/demo_signals.json");
    EXPECT_TRUE(fe::detail::equal_allowing_nan(runtime::parse_json(demo_signals_json()), golden));
}

}  // namespace
}  // namespace brindlecap::cli
