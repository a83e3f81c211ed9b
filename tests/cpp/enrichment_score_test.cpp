#include "enrichment_score.hpp"

#include <gtest/gtest.h>

#include <random>

namespace rsvelmo {
namespace {

const std::vector<double> kOnes4 = {1.0, 1.0, 1.0, 1.0};

TEST(EnrichmentScore, EmptySetAndFullSet) {
    EXPECT_EQ(calculate_es_velmo(kOnes4, std::vector<std::uint64_t>{}, 4, ScoreType::Std).es, 0.0);
    const EsPeak full = calculate_es_velmo(kOnes4, std::vector<std::uint64_t>{0, 1, 2, 3}, 4, ScoreType::Std);
    EXPECT_EQ(full.es, 0.0);
    EXPECT_EQ(full.peak, 0u);
}

TEST(EnrichmentScore, ZeroWeightHitsWalkWithEqualSteps) {
    const std::vector<double> zeros = {0.0, 0.0, 5.0, 7.0};
    const EsPeak r = calculate_es_velmo(zeros, std::vector<std::uint64_t>{0, 1}, 4, ScoreType::Std);
    EXPECT_EQ(r.es, 1.0);
    EXPECT_EQ(r.peak, 1u);
}

TEST(EnrichmentScore, BalancedWalkByScoreType) {
    const std::vector<std::uint64_t> hits = {0, 3};
    const EsPeak std_r = calculate_es_velmo(kOnes4, hits, 4, ScoreType::Std);
    EXPECT_EQ(std_r.es, 0.0);  // max 0.5 equals -min
    EXPECT_EQ(std_r.peak, 0u);
    const EsPeak pos = calculate_es_velmo(kOnes4, hits, 4, ScoreType::Pos);
    EXPECT_EQ(pos.es, 0.5);
    EXPECT_EQ(pos.peak, 0u);
    const EsPeak neg = calculate_es_velmo(kOnes4, hits, 4, ScoreType::Neg);
    EXPECT_EQ(neg.es, -0.5);
    EXPECT_EQ(neg.peak, 3u);
}

TEST(EnrichmentScore, LastGeneOnly) {
    const std::vector<double> w = {1.0, 1.0};
    const std::vector<std::uint64_t> hits = {1};
    EXPECT_EQ(calculate_es_velmo(w, hits, 2, ScoreType::Std).es, -1.0);
    const EsPeak pos = calculate_es_velmo(w, hits, 2, ScoreType::Pos);
    EXPECT_EQ(pos.es, 0.0);
    EXPECT_EQ(pos.peak, 1u);
}

TEST(EnrichmentScore, EarliestPeakWinsTies) {
    // Tops after hits 0 and 2 are both 1/2 - 0 and 1 - 2/4... built so two maxima coincide:
    // weights 1,1 at positions 0 and 3 of 6 genes with 2 hits: tops 0.5, 1 - 2/4 = 0.5.
    const std::vector<double> w(6, 1.0);
    const EsPeak r = calculate_es_velmo(w, std::vector<std::uint64_t>{0, 3}, 6, ScoreType::Pos);
    EXPECT_EQ(r.es, 0.5);
    EXPECT_EQ(r.peak, 0u);
}

TEST(EnrichmentScore, WeightedWalkPinnedBits) {
    const std::vector<double> w = {805306368.0, 268435456.0, 134217728.0, 67108864.0, 1.0};
    const EsPeak r = calculate_es_velmo(w, std::vector<std::uint64_t>{1, 3}, 5, ScoreType::Std);
    // top_0 = 268435456/335544320 - 1/3, top_1 = 1 - 2/3: the first is larger.
    EXPECT_EQ(r.es, 0.8 - 1.0 / 3.0);
    EXPECT_EQ(r.peak, 1u);
}

}  // namespace
}  // namespace rsvelmo
