#include "multilevel.hpp"

#include <gtest/gtest.h>

#include <cmath>

namespace rsvelmo {
namespace {

std::vector<std::int64_t> weights(int n) {
    std::vector<std::int64_t> w;
    for (int i = 0; i < n; ++i) w.push_back(1000 * (n - i) - 500 * n);  // positive top, negative bottom
    return w;
}

// Rows of one size with the given scores, each with a coarse permutation
// p-value of 0.5 from 500 of 1000 random sets on its side.
std::vector<EnrichmentResult> rows_with(const std::vector<double>& es) {
    std::vector<EnrichmentResult> rows;
    for (double e : es) {
        EnrichmentResult& row = rows.emplace_back();
        row.size = 10;
        row.es = e;
        row.pval = 0.5;
    }
    return rows;
}

std::vector<EnrichmentResult> refined(std::vector<EnrichmentResult> rows, std::uint64_t sample_size, ScoreType type) {
    const std::vector<SideCounts> counts(rows.size(), {250, 500});
    RMt19937SeedCompat main_stream(9);
    Progress progress;
    refine_multilevel(rows, counts, {1000, type, sample_size, 1e-20, true}, weights(200), main_stream, progress);
    return rows;
}

TEST(GroupRunner, EachSideAnswersItsScoresInOrder) {
    const auto r = refined(rows_with({0.6, -0.6, 0.0, 0.3}), 51, ScoreType::Std);
    // The estimators answer within the pathway's side: their p-value is
    // divided by the side's share, 501/1001.
    EXPECT_LT(r[0].pval, r[3].pval);  // a larger score is rarer
    EXPECT_LT(r[0].pval, 0.1);
    EXPECT_LT(r[1].pval, 0.1);  // the reversed estimator answers negative scores
    EXPECT_GT(r[2].pval, 0.6);  // 0 is answered by the positive side
    for (const auto& row : r) EXPECT_TRUE(row.log2err && std::isfinite(*row.log2err));
}

TEST(GroupRunner, AFailedEstimateLeavesTheRowAlone) {
    // A one-set population never forms a level: no estimate, and the
    // permutation p-value stays.
    for (const auto& row : refined(rows_with({0.5, -0.4}), 1, ScoreType::Std)) {
        EXPECT_EQ(row.pval, 0.5);
        EXPECT_FALSE(row.log2err);
    }
}

}  // namespace
}  // namespace rsvelmo
