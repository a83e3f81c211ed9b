#include "multilevel.hpp"

#include <gtest/gtest.h>

#include <algorithm>
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

// Settling at a cut with a budget: the rows it re-estimates are always the
// ones nearest the cut (in their errors), more of them as the budget grows,
// none without a budget and every unsettled one with enough.
TEST(SettleCalls, TheBudgetBuysTheRowsNearestTheCutFirst) {
    std::vector<EnrichmentResult> rows;
    for (int i = 0; i < 12; ++i) {
        EnrichmentResult& row = rows.emplace_back();
        row.size = 8 + i;  // each row its own estimator
        row.es = (i % 2 ? -1.0 : 1.0) * (0.30 + 0.02 * i);
        row.pval = 0.5;
    }
    const std::vector<SideCounts> counts(rows.size(), {250, 500});
    const RefinementSettings settings{1000, ScoreType::Std, 31, 1e-20, true};
    RMt19937SeedCompat stream(9);
    Progress progress;
    const double work = refine_multilevel(rows, counts, settings, weights(200), stream, progress);
    ASSERT_GT(work, 0.0);
    const double cut = 0.3;
    // The Benjamini-Hochberg line at the last p-value below it, and each
    // row's distance from it in its errors.
    std::vector<double> sorted;
    for (const auto& row : rows) sorted.push_back(row.pval);
    std::sort(sorted.begin(), sorted.end());
    double line = cut / 12;
    for (std::size_t k = 1; k <= sorted.size(); ++k) {
        if (sorted[k - 1] * 12 / k < cut) line = cut * k / 12;
    }
    std::vector<double> distance;
    for (const auto& row : rows) distance.push_back(std::fabs(std::log2(row.pval / line)) / *row.log2err);

    std::vector<std::size_t> changed_before;
    for (double share : {0.0, 0.5, 1.0, 1.5, 2.0, 3.0, 100.0}) {
        std::vector<EnrichmentResult> settled = rows;
        RMt19937SeedCompat main_stream(11);
        settle_calls(settled, counts, settings, cut, share * work, weights(200), main_stream, progress);
        std::vector<std::size_t> changed;
        for (std::size_t i = 0; i < rows.size(); ++i) {
            if (settled[i].pval != rows[i].pval || settled[i].log2err != rows[i].log2err) changed.push_back(i);
        }
        if (share == 0.0) {
            EXPECT_TRUE(changed.empty());
        }
        // Every changed row lies nearer the line than every unchanged one.
        for (std::size_t i : changed) {
            for (std::size_t j = 0; j < rows.size(); ++j) {
                if (std::binary_search(changed.begin(), changed.end(), j)) continue;
                EXPECT_LT(distance[i], distance[j]) << "row " << i << " was settled before row " << j;
            }
        }
        EXPECT_TRUE(std::includes(changed.begin(), changed.end(), changed_before.begin(), changed_before.end()));
        changed_before = changed;
    }
    EXPECT_GE(changed_before.size(), 3u);
}

}  // namespace
}  // namespace rsvelmo
