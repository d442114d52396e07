// Pools without weights must carry exactly the identifiers and metadata of their weighted
// counterparts, and leave a kept generator where drawing the weights would have left it.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "functions/filtrations_evaluation/checks/check_support.hpp"

namespace {

using namespace brindlecap::test::checks;

void expect_same_signals(const fe::SignalPool& weighted, const fe::SignalPool& unweighted) {
    ASSERT_EQ(weighted.size(), unweighted.size());
    for (std::size_t i = 0; i < weighted.size(); ++i) {
        EXPECT_EQ(weighted.id(i), unweighted.id(i));
        EXPECT_EQ(*weighted.signal(i).metadata, *unweighted.signal(i).metadata);
        EXPECT_NE(weighted.signal(i).weights, nullptr);
        EXPECT_EQ(unweighted.signal(i).weights, nullptr);
    }
}

TEST(UnweightedPools, SkippedWeightsKeepTheSyntheticStream) {
    // Enough normals per signal that the ziggurat's slow path is taken along the way.
    for (std::uint64_t seed : {0U, 7U, 2026U}) {
        auto drawn_rng = num::default_rng(seed);
        auto skipped_rng = num::default_rng(seed);
        const auto drawn = fd::synthetic_pool(40, "s_", 7, 5, drawn_rng, fd::Weights::drawn);
        const auto skipped = fd::synthetic_pool(40, "s_", 7, 5, skipped_rng, fd::Weights::skipped);
        expect_same_signals(*drawn, *skipped);
        EXPECT_TRUE(same_state(drawn_rng, skipped_rng));
        EXPECT_EQ(drawn->id(39), "s_0039");
    }

    auto config = synthetic_config(40);
    config.seed = 3;
    const auto reference = fd::generate_synthetic_signals(config);
    expect_same_signals(*reference, *fd::generate_unweighted_signals(config, fd::make_rng(3)));

    config.mode = "real";
    EXPECT_THROW(fd::generate_unweighted_signals(config, fd::make_rng(3)), brindlecap::runtime::ValueError);
}

}  // namespace
