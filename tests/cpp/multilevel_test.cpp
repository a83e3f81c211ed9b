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

TEST(GroupRunner, DegenerateInputsGiveOne) {
    const std::vector<double> scores = {0.2, -0.1};
    for (const auto& r : run_multilevel_gsea_group_impl(1e-10, 0, {}, 5, scores, ScoreType::Std, 101, 1)) {
        EXPECT_EQ(r.pvalue, 1.0);
        EXPECT_EQ(r.log2err, 0.0);
    }
    EXPECT_TRUE(run_multilevel_gsea_group_impl(1e-10, 10, weights(10), 3, {}, ScoreType::Std, 101, 1).empty());
}

TEST(GroupRunner, SidesAndOrder) {
    const auto w = weights(200);
    const std::vector<double> scores = {0.6, -0.6, 0.0, std::nan(""), 0.3};
    const auto r = run_multilevel_gsea_group_impl(1e-20, 200, w, 10, scores, ScoreType::Std, 51, 9);
    ASSERT_EQ(r.size(), scores.size());
    EXPECT_LT(r[0].pvalue, r[4].pvalue);  // a larger score is rarer
    EXPECT_LT(r[0].pvalue, 0.05);
    EXPECT_LT(r[1].pvalue, 0.05);  // the reversed estimator answers negative scores
    EXPECT_GT(r[2].pvalue, 0.3);   // 0 is answered by the positive side
    EXPECT_TRUE(r[0].log2err.has_value());
}

TEST(GroupRunner, NanWhenASideHasNoEstimate) {
    // A NaN score under 'pos' asks the side that was never extended; a
    // one-set population never forms a level.
    const std::vector<double> scores = {0.5, std::nan("")}, two_sided = {0.5, -0.4};
    const auto pos = run_multilevel_gsea_group_impl(1e-10, 100, weights(100), 5, scores, ScoreType::Pos, 21, 3);
    EXPECT_TRUE(std::isfinite(pos[0].pvalue));
    EXPECT_TRUE(std::isnan(pos[1].pvalue) && !pos[1].log2err);
    for (const auto& r : run_multilevel_gsea_group_impl(1e-10, 100, weights(100), 5, two_sided, ScoreType::Std, 1, 3))
        EXPECT_TRUE(std::isnan(r.pvalue));
}

}  // namespace
}  // namespace rsvelmo
