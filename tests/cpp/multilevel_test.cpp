#include "multilevel.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <string>

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

// The line where the calls end: the last rank k whose p-value lies below
// cut * k / n (n counts the rows without a p-value too), else rank 1.
TEST(CallBoundary, TheLastRankBelowTheLine) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const auto rows_of = [](std::vector<double> pvals) {
        std::vector<EnrichmentResult> rows(pvals.size());
        for (std::size_t i = 0; i < pvals.size(); ++i) rows[i].pval = pvals[i];
        return rows;
    };
    // 0.001 * 5 / 1, 0.01 * 5 / 2 and 0.02 * 5 / 3 lie below 0.05; 0.5 * 5 / 4 does not.
    EXPECT_EQ(call_boundary(rows_of({0.5, 0.02, nan, 0.001, 0.01}), 0.05), 0.05 * 3 / 5);
    EXPECT_EQ(call_boundary(rows_of({0.9, 0.8}), 0.05), 0.05 / 2);  // none below: the first rank
    // 0.03 * 4 / 2 does not, but 0.031 * 4 / 3 does: a rank above the line does not end the calls.
    EXPECT_EQ(call_boundary(rows_of({0.9, 0.031, 0.001, 0.03}), 0.05), 0.05 * 3 / 4);
    EXPECT_EQ(call_boundary(rows_of({}), 0.05), 0.05);  // no rows, no division by 0
}

// The flip risk is the normal tail beyond the row's distance from the line
// in its errors: 1/2 on the line, Phi(-2.576) = 0.0049975 at the settled
// distance, the same on both sides; nothing without a p-value, 0 without an
// error.
TEST(FlipRisk, TheNormalTailBeyondTheDistance) {
    const double boundary = 0.01;
    const auto risk = [&](double pval, std::optional<double> log2err) {
        EnrichmentResult row;
        row.pval = pval;
        row.log2err = log2err;
        return flip_risk(row, boundary);
    };
    EXPECT_EQ(risk(0.01, 0.3), 0.5);
    const double settled = std::exp2(std::log2(boundary) - kSettledAt * 0.25);
    EXPECT_NEAR(*risk(settled, 0.25), 0.0049975, 1e-7);
    const double above = std::exp2(std::log2(boundary) + 0.5);
    const double below = std::exp2(std::log2(boundary) - 0.5);
    EXPECT_NEAR(*risk(above, 0.5), *risk(below, 0.5), 1e-15);
    EXPECT_NEAR(*risk(above, 0.5), 0.15865525393145707, 1e-12);  // Phi(-1)
    EXPECT_FALSE(risk(std::numeric_limits<double>::quiet_NaN(), 0.3));
    EXPECT_EQ(risk(1e-50, std::nullopt), 0.0);
    EXPECT_EQ(risk(0.02, 0.0), 0.0);
    EXPECT_EQ(risk(0.02, std::numeric_limits<double>::quiet_NaN()), 0.0);
}

// A sample whose estimator cannot fit in memory even alone is refused on
// the calling thread, before any estimator allocates it.
TEST(GroupRunner, ASampleBeyondMemoryIsRefusedFirst) {
    auto rows = rows_with({0.6, -0.6});
    const std::vector<SideCounts> counts(rows.size(), {250, 500});
    RMt19937SeedCompat main_stream(9);
    Progress progress;
    const RefinementSettings huge{1000, ScoreType::Std, std::uint64_t{1} << 40, 1e-20, true};
    try {
        refine_multilevel(rows, counts, huge, weights(200), main_stream, progress);
        FAIL() << "no SampleTooLarge";
    } catch (const SampleTooLarge& e) {
        const std::string message = e.what();
        EXPECT_TRUE(
            message.starts_with("a multilevel sample of 1099511627776 gene sets of 10 among 200 genes needs at least "))
            << message;
        EXPECT_NE(message.find("GiB of memory; use a smaller sample size"), std::string::npos) << message;
    }
    EXPECT_EQ(rows[0].pval, 0.5);  // nothing was estimated
}

}  // namespace
}  // namespace rsvelmo
