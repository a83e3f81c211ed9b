#include "orvane_compat.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "algo.hpp"
#include "enrichment_score.hpp"
#include "pool.hpp"
#include "rng_compat.hpp"

namespace rsvelmo {
namespace {

const std::vector<double> kTies = {4, 4, 4, 4, 3, 2, 2, 1, 1, 1, 1};
const std::vector<std::uint64_t> kTiesSample = {9, 7, 8, 10, 3, 2, 4, 5, 11, 1};

std::vector<double> prefix_scores(PrefixScorer& scorer, std::span<const double> scores,
                                  std::span<const std::uint64_t> sample, ScoreType type) {
    std::vector<double> out;
    scorer.score(scores, sample, type, 1.0, out);
    return out;
}

std::vector<double> prefix_scores(std::span<const double> scores, std::span<const std::uint64_t> sample,
                                  ScoreType type) {
    PrefixScorer scorer;
    return prefix_scores(scorer, scores, sample, type);
}

std::vector<double> descending(int n) {
    std::vector<double> s;
    for (int v = n; v >= 1; --v) s.push_back(v);
    return s;
}

TEST(PrefixScores, SampleHoldingFirstAndLastGene) {
    using V = std::vector<double>;
    const auto pos = prefix_scores(kTies, kTiesSample, ScoreType::Pos);
    // The fourth is 1/7, the score of genes 9, 7, 8, 10.
    EXPECT_EQ(V(pos.begin(), pos.begin() + 5), (V{0.2, 0.2222222222222222, 0.25, 0.14285714285714285, 1.0 / 6.0}));
    const auto neg = prefix_scores(kTies, kTiesSample, ScoreType::Neg);
    EXPECT_EQ(V(neg.begin(), neg.begin() + 4), (V{-0.8, -0.6666666666666666, -0.75, -0.8571428571428571}));
}

TEST(PrefixScores, BatchExampleFirstPermutation) {
    const auto s = descending(12);
    const std::vector<std::uint64_t> sample = {7, 12, 5, 11, 9};
    Mt19937 engine(42);
    EXPECT_EQ(combination(1, 12, 5, engine), sample);
    const auto es = prefix_scores(s, sample, ScoreType::Std);
    EXPECT_EQ(es, (std::vector<double>{-0.5454545454545454, -0.6, -0.4444444444444444, -0.5, -0.5714285714285714}));
}

// Every prefix score equals the single-set score of that prefix, also for
// samples that hold the first or the last gene of the list, and with one
// scorer reused for lists and samples of every size.
TEST(PrefixScores, AgreeWithSingleSetScores) {
    Mt19937 engine(7);
    PrefixScorer scorer;
    for (int round = 0; round < 400; ++round) {
        const std::uint64_t n = 5 + uid_wrapper(0, 60, engine);
        std::vector<double> weights(n);
        for (auto& w : weights) w = static_cast<double>(1 + uid_wrapper(0, 4, engine));  // many ties
        std::sort(weights.rbegin(), weights.rend());
        const std::uint64_t k = 1 + uid_wrapper(0, n - 2, engine);
        auto sample = combination(1, n, k, engine);
        // Force the extreme genes in at random places.
        if (round % 3 != 2 && std::find(sample.begin(), sample.end(), n) == sample.end())
            sample[uid_wrapper(0, k - 1, engine)] = n;
        if (round % 3 != 1 && k > 1 && std::find(sample.begin(), sample.end(), 1u) == sample.end()) {
            const std::size_t at = uid_wrapper(0, k - 1, engine);
            if (sample[at] != n) sample[at] = 1;
        }
        for (ScoreType type : {ScoreType::Std, ScoreType::Pos, ScoreType::Neg}) {
            const auto scores = prefix_scores(scorer, weights, sample, type);
            std::vector<std::uint64_t> prefix;
            for (std::size_t j = 0; j < k; ++j) {
                prefix.insert(std::upper_bound(prefix.begin(), prefix.end(), sample[j] - 1), sample[j] - 1);
                const double single = calculate_es_velmo(weights, prefix, n, type).es;
                // A two-sided score whose sides are equal up to rounding may
                // come out as the tie (0) by one route and not by the other.
                const double up = calculate_es_velmo(weights, prefix, n, ScoreType::Pos).es;
                const double down = calculate_es_velmo(weights, prefix, n, ScoreType::Neg).es;
                if (type == ScoreType::Std && std::fabs(up + down) < 1e-12) {
                    const double e = scores[j];
                    ASSERT_TRUE(e == 0.0 || std::fabs(e - up) < 1e-12 || std::fabs(e - down) < 1e-12);
                    continue;
                }
                ASSERT_NEAR(scores[j], single, 1e-12)
                    << "round " << round << " type " << int(type) << " prefix " << j + 1 << " of " << k;
            }
        }
    }
}

TEST(PrefixScores, ZeroScoresWeighTheFloor) {
    // Only the zero gene is sampled: its weight is the floor 1e-5/1024, so the
    // walk rises by 1 at that gene exactly as with any positive weight.
    const std::vector<double> s = {3, 2, 0, 1};
    const auto es = prefix_scores(s, std::vector<std::uint64_t>{3}, ScoreType::Pos);
    EXPECT_DOUBLE_EQ(es[0], 1.0 - 2.0 / 3.0);
}

bool same(const PathwayAcc& a, const PathwayAcc& b) {
    return a.le_count == b.le_count && a.ge_count == b.ge_count && a.le_zero_count == b.le_zero_count &&
           a.ge_zero_count == b.ge_zero_count && a.le_zero_sum == b.le_zero_sum && a.ge_zero_sum == b.ge_zero_sum;
}

TEST(Batch, WorkedExample) {
    const auto s = descending(12);
    const std::vector<double> observed = {0.5, -0.3};
    const std::vector<std::uint64_t> sizes = {3, 5};
    const auto c = calc_gsea_stat_cumulative_batch_f64(s, observed, sizes, 10, 42, ScoreType::Std, 1.0);
    ASSERT_EQ(c.size(), 2u);
    EXPECT_TRUE(same(c[0], {7, 3, 5, 5, -2.6666666666666665, 2.7369987468671684}));
    EXPECT_TRUE(same(c[1], {3, 7, 4, 6, -1.7142857142857142, 2.7757247344067477}));
}

bool same(const std::vector<PathwayAcc>& a, const std::vector<PathwayAcc>& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                      [](const PathwayAcc& x, const PathwayAcc& y) { return same(x, y); });
}

// Sequential and parallel batches agree bit for bit, on either side of the
// pathway threshold and for permutation counts off the chunk size.
bool parallel_matches_sequential() {
    Mt19937 engine(11);
    std::vector<double> s(3000);
    for (auto& w : s) w = static_cast<double>(uid_wrapper(0, 100000, engine));
    std::sort(s.rbegin(), s.rend());
    for (std::size_t pathways : {5u, 127u, 200u}) {
        std::vector<double> observed;
        std::vector<std::uint64_t> sizes;
        for (std::size_t i = 0; i < pathways; ++i) {
            sizes.push_back(1 + uid_wrapper(0, 80, engine));
            observed.push_back((static_cast<double>(uid_wrapper(0, 200, engine)) - 100.0) / 250.0);
        }
        for (std::uint64_t nperm : {1u, 129u, 300u}) {
            for (ScoreType type : {ScoreType::Std, ScoreType::Pos, ScoreType::Neg}) {
                const auto a = calc_gsea_stat_cumulative_batch_f64(s, observed, sizes, nperm, 99, type, 1.0);
                const auto b = calc_gsea_stat_cumulative_batch_f64_thread_invariant_parallel(s, observed, sizes, nperm,
                                                                                             99, type, 1.0);
                if (!same(a, b)) return false;
            }
        }
    }
    return true;
}

TEST(BatchDeathTest, ParallelEqualsSequentialForAnyPoolSize) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    for (std::size_t threads : {1u, 2u, 3u, 16u}) {
        EXPECT_EXIT(
            {
                pool::create(threads);
                std::exit(parallel_matches_sequential() ? 0 : 1);
            },
            ::testing::ExitedWithCode(0), "")
            << threads << " threads";
    }
}

}  // namespace
}  // namespace rsvelmo
