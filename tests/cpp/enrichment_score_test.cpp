#include "enrichment_score.hpp"

#include <gtest/gtest.h>

#include <tuple>

namespace rsvelmo {
namespace {

TEST(EnrichmentScore, WorkedWalks) {
    using Hits = std::vector<std::uint64_t>;
    const std::vector<double> ones(4, 1.0);
    const std::vector<double> scaled = {805306368.0, 268435456.0, 134217728.0, 67108864.0, 1.0};
    // weights, hits, score type, expected score, expected peak
    const std::tuple<std::vector<double>, Hits, ScoreType, double, std::uint64_t> cases[] = {
        {ones, {}, ScoreType::Std, 0.0, 0},
        {ones, {0, 1, 2, 3}, ScoreType::Std, 0.0, 0},
        {{0.0, 0.0, 5.0, 7.0}, {0, 1}, ScoreType::Std, 1.0, 1},  // zero-weight hits take equal steps
        {ones, {0, 3}, ScoreType::Std, 0.0, 0},                  // max 0.5 equals -min: a tie scores 0
        {ones, {0, 3}, ScoreType::Pos, 0.5, 0},
        {ones, {0, 3}, ScoreType::Neg, -0.5, 3},
        {{1.0, 1.0}, {1}, ScoreType::Std, -1.0, 1},
        {{1.0, 1.0}, {1}, ScoreType::Pos, 0.0, 1},
        {std::vector<double>(6, 1.0), {0, 3}, ScoreType::Pos, 0.5, 0},  // two equal tops: the earliest wins
        {scaled, {1, 3}, ScoreType::Std, 0.8 - 1.0 / 3.0, 1},           // 268435456/335544320 - 1/3
    };
    for (const auto& [weights, hits, type, es, peak] : cases) {
        const EsPeak r = calculate_es_velmo(weights, hits, weights.size(), type);
        EXPECT_EQ(r.es, es) << hits.size() << " hits, type " << static_cast<int>(type);
        if (!hits.empty()) {
            EXPECT_EQ(r.peak, peak);
        }
    }
}

}  // namespace
}  // namespace rsvelmo
