#include "ora.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "test_support.hpp"

namespace rsvelmo::ora {
namespace {

using rsvelmo::testing::bits_of;

TEST(OraOddsRatio, MatchesAPreciseSolve) {
    // R: uniroot on the exact conditional mean (tol 1e-14), scripts/make_ora_fixtures.R;
    // fisher.test prints 25.65118 (its root search stops near 1e-4).
    EXPECT_LE(std::abs(odds_ratio(299, {20, 27, 12}) - 0x1.9a6b1b3d1d914p+4), 1e-13 * 25.65);
    EXPECT_LE(std::abs(odds_ratio(299, {25, 32, 9}) - 0x1.84d7d76262459p+2), 1e-13 * 6.08);
}

TEST(OraOddsRatio, SolvesTheMeanEquationItsDefinitionStates) {
    // E[X | psi] = k, the weights C(K, x) C(N-K, n-x) psi^x summed in long double over the whole support.
    const std::uint64_t N = 18000;
    const Table t{400, 900, 60};
    const long double psi = odds_ratio(N, t);
    long double total = 0, mean = 0;
    for (std::uint64_t x = 0; x <= 400; ++x) {
        const long double log_w = std::lgamma(401.0L) - std::lgamma(x + 1.0L) - std::lgamma(401.0L - x) +
                                  std::lgamma(N - 400 + 1.0L) - std::lgamma(900.0L - x + 1.0L) -
                                  std::lgamma(N - 400 - 900.0L + x + 1.0L) + x * std::log(psi) - 250.0L;
        total += std::exp(log_w);
        mean += x * std::exp(log_w);
    }
    EXPECT_NEAR(static_cast<double>(mean / total), 60.0, 1e-9);
}

TEST(OraOddsRatio, ZeroAndInfinityAtTheSupportsEnds) {
    EXPECT_EQ(odds_ratio(20, {5, 5, 0}), 0.0);
    EXPECT_EQ(odds_ratio(20, {5, 7, 5}), std::numeric_limits<double>::infinity());
    EXPECT_EQ(odds_ratio(20, {15, 12, 7}), 0.0);                                     // the support starts at 7
    EXPECT_EQ(odds_ratio(20, {2, 19, 2}), std::numeric_limits<double>::infinity());  // support 1..2
    EXPECT_EQ(odds_ratio(20, {20, 5, 5}), 0.0);                                      // one point: 0, as R's fisher.test
}

TEST(OraOddsRatios, EveryTableOnItsOwnWhateverTheWorker) {
    std::vector<Table> tables;
    for (std::uint64_t K = 15; K < 500; K += 7) {
        for (std::uint64_t k = 0; k <= 30; k += 3) tables.push_back({K, 600, std::min(k, K)});
    }
    const auto got = odds_ratios(18000, tables);
    ASSERT_TRUE(got.ok());
    for (std::size_t i = 0; i < tables.size(); ++i)
        EXPECT_EQ(bits_of(got.value()[i]), bits_of(odds_ratio(18000, tables[i])));
}

TEST(OraOddsRatios, RefusesImpossibleTables) {
    const std::vector<Table> too_large{{30, 5, 1}};
    EXPECT_EQ(odds_ratios(20, too_large).failure().message,
              "table 0 (K=30, n=5, k=1): a set or list larger than the universe");
    const std::vector<Table> outside{{5, 5, 1}, {5, 5, 6}};
    EXPECT_EQ(odds_ratios(20, outside).failure().message,
              "table 1 (K=5, n=5, k=6): an overlap outside the table's support");
}

}  // namespace
}  // namespace rsvelmo::ora
