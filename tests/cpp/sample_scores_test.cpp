#include "sample_scores.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <vector>

#include "pool.hpp"
#include "sample_kernels.hpp"
#include "test_support.hpp"

namespace rsvelmo::scores {
namespace {

using testing::bits_of;
namespace d = detail;

// Phi(10 i / 10000) as R 4.2's pnorm gives it, at each range edge of Cody's
// approximation (0.67449, sqrt(32)) and where the double result becomes 1.
struct TableEntry {
    std::size_t index;
    double value;
};
const TableEntry kTableFromR[] = {
    {0, 0x1p-1},
    {1, 0x1.00344a478603p-1},
    {674, 0x1.7feb9905ec3ebp-1},
    {675, 0x1.80153fc2f6b1ep-1},
    {5656, 0x1.ffffffbd74017p-1},
    {5657, 0x1.ffffffbdd6eddp-1},
    {8292, 0x1.fffffffffffffp-1},
    {8293, 0x1p+0},
    {10000, 0x1p+0},
};

TEST(NormalCdfTable, EqualsRsPnormAtTheRangeEdges) {
    const auto& table = d::normal_cdf_table();
    for (const auto& e : kTableFromR) EXPECT_EQ(bits_of(table[e.index]), bits_of(e.value)) << "entry " << e.index;
}

struct StepCase {
    double difference;
    double bandwidth;
    double expected;
};

TEST(GaussianStepCdf, TruncatesTheIndexAndSaturatesBeyondTenBandwidths) {
    const auto& t = d::normal_cdf_table();
    const StepCase cases[] = {
        {0.0, 1.0, 0.5},
        {0.00099, 1.0, t[0]},           // below one step: the table's first entry
        {0.0019, 1.0, t[1]},            // 1.9 steps truncate to 1, not round to 2
        {-0.0019, 1.0, 1.0 - t[1]},     // the lower half mirrored
        {10.0, 1.0, t[10000]},          // the table's last entry, exactly 10 bandwidths
        {10.5, 1.0, 1.0},               // beyond: exactly 1
        {-10.5, 1.0, 0.0},              // and exactly 0
        {3.0, 2.0, t[1500]},            // the difference counts in bandwidths
        {-2.9999, 0.5, 1.0 - t[5999]},  // 5.9998 bandwidths: step 5999
    };
    for (const auto& c : cases)
        EXPECT_EQ(bits_of(d::gaussian_step_cdf(c.difference, c.bandwidth)), bits_of(c.expected))
            << c.difference << " / " << c.bandwidth;
}

TEST(GaussianLogOdds, PairedStepsEqualTheStepsSampleBySample) {
    // All samples at once share each pair's table step between its two
    // orders; one test sample at a time computes every step itself.
    std::mt19937_64 engine(5);
    for (std::size_t n : {3u, 7u, 64u}) {
        std::vector<double> row(n);
        for (auto& v : row) v = static_cast<double>(engine() % 40) / 8.0;  // ties and exact steps
        row[0] = row[1] + 1e-300;                                          // a quotient that underflows to zero
        std::vector<double> all(n), one(1), scratch;
        d::gaussian_log_odds(row, 0, all, scratch);
        for (std::size_t j = 0; j < n; ++j) {
            d::gaussian_log_odds(row, j, one, scratch);
            EXPECT_EQ(bits_of(one[0]), bits_of(all[j])) << n << " samples, sample " << j;
        }
    }
}

TEST(KernelSd, IsTheSampleStandardDeviation) {
    const std::vector<double> x = {2, 4, 4, 4, 5, 5, 7, 9};
    EXPECT_EQ(d::kernel_sd(x), std::sqrt(32.0 / 7.0));
    EXPECT_TRUE(std::isnan(d::kernel_sd(std::vector<double>{3.0})));  // one sample: undefined, hence constant
}

TEST(DecreasingOrder, BreaksTiesByInputOrder) {
    std::vector<std::uint32_t> order;
    d::decreasing_order(std::vector<double>{1, 3, 3, 2, 3, -INFINITY, INFINITY}, order);
    EXPECT_EQ(order, (std::vector<std::uint32_t>{6, 1, 2, 4, 3, 0, 5}));
}

struct RankCase {
    std::vector<double> values;
    std::vector<std::int64_t> ranks;
};

TEST(TruncatedAverageRanks, TruncateTheMeanRankOfTies) {
    const RankCase cases[] = {
        {{10, 20, 20, 5, 20, 7}, {3, 5, 5, 1, 5, 2}},  // ranks 4, 5, 6 share 5
        {{1, 1, 2}, {1, 1, 3}},                        // 1.5 truncates to 1
        {{2, 2, 2, 2}, {2, 2, 2, 2}},                  // 2.5 truncates to 2
        {{4, 3, 3, 1}, {4, 2, 2, 1}},
    };
    for (const auto& c : cases) {
        std::vector<std::uint32_t> order;
        std::vector<std::int64_t> ranks;
        d::decreasing_order(c.values, order);
        d::truncated_average_ranks(c.values, order, ranks);
        EXPECT_EQ(ranks, c.ranks);
    }
}

// The walks step by step as the published definitions state them: one step
// per gene of the ranking.
double gsva_walk_by_steps(const std::vector<bool>& in_set, const std::vector<double>& weight, bool mx_diff,
                          bool abs_ranking) {
    double total = 0;
    std::size_t k = 0;
    for (std::size_t i = 0; i < in_set.size(); ++i)
        if (in_set[i]) total += weight[i], ++k;
    double walk = 0, top = 0, bottom = 0;
    for (std::size_t i = 0; i < in_set.size(); ++i) {
        walk += in_set[i] ? weight[i] / total : -1.0 / static_cast<double>(in_set.size() - k);
        top = std::max(top, walk);
        bottom = std::min(bottom, walk);
    }
    if (mx_diff) return abs_ranking ? top - bottom : top + bottom;
    return top > -bottom ? top : bottom;
}

double ssgsea_walk_by_steps(const std::vector<bool>& in_set, const std::vector<double>& weight) {
    double total = 0;
    std::size_t k = 0;
    for (std::size_t i = 0; i < in_set.size(); ++i)
        if (in_set[i]) total += weight[i], ++k;
    double in = 0, out = 0, sum = 0;
    for (std::size_t i = 0; i < in_set.size(); ++i) {
        if (in_set[i])
            in += weight[i] / total;
        else
            out += 1.0 / static_cast<double>(in_set.size() - k);
        sum += in - out;
    }
    return sum;
}

TEST(Walks, ClosedFormsEqualTheStepByStepWalks) {
    std::mt19937_64 engine(7);
    for (int trial = 0; trial < 300; ++trial) {
        const std::size_t n = 5 + engine() % 60;
        std::vector<bool> in_set(n);
        std::vector<double> weight(n);
        std::vector<std::uint32_t> positions;
        double weight_sum = 0;
        for (std::size_t i = 0; i < n; ++i) {
            in_set[i] = engine() % 3 == 0;
            weight[i] = static_cast<double>(engine() % 1000) / 7.0;
            if (in_set[i]) positions.push_back(static_cast<std::uint32_t>(i)), weight_sum += weight[i];
        }
        if (positions.empty() || positions.size() == n) continue;
        for (bool mx_diff : {true, false})
            for (bool abs_ranking : {true, false})
                EXPECT_NEAR(d::gsva_walk(positions, weight.data(), weight_sum, n, mx_diff, abs_ranking),
                            gsva_walk_by_steps(in_set, weight, mx_diff, abs_ranking), 1e-12);
        EXPECT_NEAR(d::ssgsea_walk(positions, weight.data(), n), ssgsea_walk_by_steps(in_set, weight), 1e-9);
    }
}

TEST(LeadingEigenvector, FindsTheDominantDirection) {
    // 2 x 2 with eigenvalues 3 (along (1, 1)) and 1.
    std::vector<double> a = {2, 1, 1, 2};
    auto v = d::leading_eigenvector(a, 2);
    EXPECT_NEAR(std::fabs(v[0]), std::sqrt(0.5), 1e-15);
    EXPECT_NEAR(v[0], v[1], 1e-15);
}

class LeadingEigenvectorOfGram : public ::testing::TestWithParam<std::size_t> {};

TEST_P(LeadingEigenvectorOfGram, SatisfiesTheEigenEquationWithTheLargestEigenvalue) {
    // A random Gram matrix (rank 4 and full rank): A v = lambda v with the
    // largest lambda, by Jacobi (small) and by the tridiagonal reduction.
    std::mt19937_64 engine(3);
    const std::size_t m = GetParam();
    for (std::size_t columns : {std::size_t{4}, 2 * m}) {
        std::vector<double> x(m * columns), g(m * m);
        for (auto& e : x) e = static_cast<double>(engine() % 2001) / 1000.0 - 1.0;
        for (std::size_t i = 0; i < m; ++i)
            for (std::size_t j = 0; j < m; ++j)
                for (std::size_t c = 0; c < columns; ++c) g[i * m + j] += x[i * columns + c] * x[j * columns + c];
        auto copy = g;
        auto v = d::leading_eigenvector(copy, m);
        double norm = 0;
        for (double e : v) norm += e * e;
        EXPECT_NEAR(norm, 1.0, 1e-13);
        double lambda = 0;
        for (std::size_t i = 0; i < m; ++i)
            for (std::size_t j = 0; j < m; ++j) lambda += v[i] * g[i * m + j] * v[j];
        for (std::size_t i = 0; i < m; ++i) {
            double gv = 0;
            for (std::size_t j = 0; j < m; ++j) gv += g[i * m + j] * v[j];
            EXPECT_NEAR(gv, lambda * v[i], 1e-11 * lambda);
        }
        // Jacobi diagonalises the whole matrix: its largest eigenvalue is the same.
        auto again = g;
        const auto w = d::jacobi_leading_eigenvector(again, m);
        double other = 0;
        for (std::size_t i = 0; i < m; ++i)
            for (std::size_t j = 0; j < m; ++j) other += w[i] * g[i * m + j] * w[j];
        EXPECT_NEAR(lambda, other, 1e-12 * lambda);
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, LeadingEigenvectorOfGram, ::testing::Values(3, 9, 13, 40, 150));

// A 40 x 11 matrix with ties, a constant gene (row 5) and sets of assorted sizes.
std::vector<double> example_matrix() {
    std::mt19937_64 engine(11);
    std::vector<double> x(40 * 11);
    for (auto& v : x) v = static_cast<double>(engine() % 50);
    for (std::size_t j = 0; j < 11; ++j) x[5 * 11 + j] = 4.0;
    return x;
}

const std::vector<std::vector<std::size_t>> kSets = {
    {0, 1, 2, 3}, {5, 7, 9, 11, 13, 15, 17}, {39, 20}, {5}, {}, {30, 31, 32, 33, 34, 35, 36, 37, 38, 39, 1, 2}};

Scores run(const std::vector<double>& x, Options o) {
    auto r = score_samples({x.data(), 40, 11}, kSets, o);
    EXPECT_TRUE(r.ok()) << (r.ok() ? "" : r.error());
    return std::move(r).value();
}

TEST(ScoreSamples, DropsConstantGenesExceptForSsgsea) {
    const auto x = example_matrix();
    const auto gsva = run(x, {});
    EXPECT_EQ(gsva.constant_genes, std::vector<std::size_t>{5});
    EXPECT_EQ(gsva.sizes, (std::vector<std::size_t>{4, 6, 2, 0, 0, 12}));
    EXPECT_EQ(gsva.scored, (std::vector<std::uint8_t>{1, 1, 1, 0, 0, 1}));
    EXPECT_TRUE(std::isnan(gsva.values[3 * 11]));
    Options o;
    o.method = Method::Ssgsea;
    const auto ssgsea = run(x, o);
    EXPECT_EQ(ssgsea.sizes, (std::vector<std::size_t>{4, 7, 2, 1, 0, 12}));
    EXPECT_FALSE(ssgsea.constant_dropped);
}

TEST(ScoreSamples, ZscoreIsTheSumOfStandardisedValuesOverRootSize) {
    const auto x = example_matrix();
    Options o;
    o.method = Method::Zscore;
    const auto z = run(x, o);
    for (std::size_t j = 0; j < 11; ++j) {
        double sum = 0;
        for (std::size_t g : kSets[0]) {
            double mean = 0, ss = 0;
            for (std::size_t c = 0; c < 11; ++c) mean += x[g * 11 + c] / 11.0;
            for (std::size_t c = 0; c < 11; ++c) ss += (x[g * 11 + c] - mean) * (x[g * 11 + c] - mean);
            sum += (x[g * 11 + j] - mean) / std::sqrt(ss / 10.0);
        }
        EXPECT_NEAR(z.values[j], sum / 2.0, 1e-13);
    }
}

struct BadInput {
    Method method;
    Kcdf kcdf;
    std::size_t genes, samples;
    double poison;
    const char* message;
};

TEST(ScoreSamples, RejectsInputTheMethodsCannotScore) {
    const BadInput cases[] = {
        {Method::Gsva, Kcdf::Gaussian, 4, 3, NAN, "non-finite value at row 2, column 3"},
        {Method::Gsva, Kcdf::Poisson, 4, 3, -1.0, "negative value at row 2, column 3: kcdf='poisson' needs counts"},
        {Method::Gsva, Kcdf::Gaussian, 4, 1, 1.0, "at least two samples are needed"},
        {Method::Plage, Kcdf::Gaussian, 4, 1, 1.0, "at least two samples are needed"},
    };
    for (const auto& c : cases) {
        std::vector<double> x(c.genes * c.samples);
        for (std::size_t i = 0; i < x.size(); ++i) x[i] = static_cast<double>(i % 7);
        x[1 * c.samples + c.samples - 1] = c.poison;
        Options o;
        o.method = c.method;
        o.kcdf = c.kcdf;
        auto r = score_samples({x.data(), c.genes, c.samples}, {{0, 1}}, o);
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.failure().kind, Error::Kind::Argument);
        EXPECT_EQ(r.error().rfind(c.message, 0), 0u) << r.error();
    }
    std::vector<double> x(12, 1.0);
    EXPECT_EQ(score_samples({x.data(), 4, 3}, {{0, 0}}, Options{}).failure().subject, "expression");  // all constant
    x[0] = 2.0;
    x[4] = 3.0;
    EXPECT_EQ(score_samples({x.data(), 4, 3}, {{0, 0}}, Options{}).error(), "gene set 1 names row 0 twice");
    EXPECT_EQ(score_samples({x.data(), 4, 3}, {{4}}, Options{}).failure().subject, "gene_sets");
}

// Every method and kernel, scored a range of columns at a time (and in
// chunks within it), has in each cell the bits of the whole-matrix run: the
// whole run takes the Gaussian kernel's paired steps, a range the steps one
// test sample at a time.
TEST(ScoreSamples, AColumnRangeHasTheBitsOfTheWholeRun) {
    const auto x = example_matrix();
    const Options variants[] = {
        {Method::Gsva, Kcdf::Gaussian, {}, true, false, true, 1, SIZE_MAX, 0},
        {Method::Gsva, Kcdf::Gaussian, 0.5, false, false, true, 1, SIZE_MAX, 0},
        {Method::Gsva, Kcdf::Poisson, {}, true, true, true, 1, SIZE_MAX, 0},
        {Method::Gsva, Kcdf::None, {}, true, false, true, 1, SIZE_MAX, 0},
        {Method::Ssgsea, Kcdf::Gaussian, {}, true, false, false, 1, SIZE_MAX, 0},
        {Method::Zscore, Kcdf::Gaussian, {}, true, false, true, 1, SIZE_MAX, 0},
        {Method::Plage, Kcdf::Gaussian, {}, true, false, true, 2, SIZE_MAX, 0},
    };
    const std::pair<std::size_t, std::size_t> ranges[] = {{0, 11}, {0, 1}, {3, 7}, {5, 11}, {10, 11}};
    for (const auto& base : variants) {
        const auto whole = run(x, base);
        for (const auto& [begin, end] : ranges) {
            for (std::size_t chunk : {0u, 2u}) {
                Options o = base;
                o.column_begin = begin;
                o.column_end = end;
                o.chunk_samples = chunk;
                const auto part = run(x, o);
                const std::size_t width = end - begin;
                ASSERT_EQ(part.samples, width);
                EXPECT_EQ(part.first_column, begin);
                EXPECT_EQ(part.sizes, whole.sizes);
                EXPECT_EQ(part.constant_genes, whole.constant_genes);
                for (std::size_t set = 0; set < kSets.size(); ++set)
                    for (std::size_t j = begin; j < end; ++j)
                        ASSERT_EQ(bits_of(part.values[set * width + j - begin]), bits_of(whole.values[set * 11 + j]))
                            << "method " << int(base.method) << " kcdf " << int(base.kcdf) << " set " << set
                            << " column " << j << " of [" << begin << ", " << end << ") chunk " << chunk;
            }
        }
    }
}

TEST(ScoreSamples, RefusesColumnRangesItCannotScore) {
    const auto x = example_matrix();
    const std::pair<std::size_t, std::size_t> bad[] = {{3, 3}, {5, 2}, {0, 12}, {11, SIZE_MAX}};
    for (const auto& [begin, end] : bad) {
        Options o;
        o.column_begin = begin;
        o.column_end = end;
        auto r = score_samples({x.data(), 40, 11}, kSets, o);
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.failure().subject, "columns");
        EXPECT_NE(r.error().find("not a non-empty range of the 11 samples"), std::string::npos) << r.error();
    }
    Options o;
    o.method = Method::Ssgsea;  // normalised: the divisor needs every sample's scores
    o.column_begin = 1;
    auto r = score_samples({x.data(), 40, 11}, kSets, o);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.failure().subject, "columns");
    o.column_begin = 0;
    o.column_end = 11;
    const auto explicit_whole = run(x, o).values;
    Options whole_run;
    whole_run.method = Method::Ssgsea;
    const auto whole = run(x, whole_run).values;
    ASSERT_EQ(explicit_whole.size(), whole.size());
    for (std::size_t i = 0; i < whole.size(); ++i) EXPECT_EQ(bits_of(explicit_whole[i]), bits_of(whole[i]));
}

// Every method and kernel with the pool at `threads` threads, chunks of
// three samples, as the bits of all scores.
std::vector<std::uint64_t> all_scores_bits() {
    const auto x = example_matrix();
    std::vector<std::uint64_t> bits;
    const Options variants[] = {
        {Method::Gsva, Kcdf::Gaussian, {}, true, false, true, 1, SIZE_MAX, 3},
        {Method::Gsva, Kcdf::Poisson, {}, false, false, true, 1, SIZE_MAX, 3},
        {Method::Gsva, Kcdf::None, 0.5, true, true, true, 1, SIZE_MAX, 3},
        {Method::Ssgsea, Kcdf::Gaussian, {}, true, false, true, 1, SIZE_MAX, 3},
        {Method::Zscore, Kcdf::Gaussian, {}, true, false, true, 1, SIZE_MAX, 3},
        {Method::Plage, Kcdf::Gaussian, {}, true, false, true, 2, SIZE_MAX, 3},
    };
    for (const auto& o : variants)
        for (double v : run(x, o).values) bits.push_back(bits_of(v));
    return bits;
}

TEST(ScoreSamplesDeathTest, SameBitsWithOneTwoAndThreeThreads) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const std::string base = ::testing::TempDir() + "sample_scores_bits_";
    for (std::size_t threads : {1u, 2u, 3u}) {
        EXPECT_EXIT(
            {
                pool::create(threads);
                const auto bits = all_scores_bits();
                std::ofstream(base + std::to_string(threads), std::ios::binary)
                    .write(reinterpret_cast<const char*>(bits.data()),
                           static_cast<std::streamsize>(bits.size() * sizeof(std::uint64_t)));
                std::exit(0);
            },
            ::testing::ExitedWithCode(0), "");
    }
    std::vector<std::string> contents;
    for (int threads : {1, 2, 3}) {
        std::ifstream in(base + std::to_string(threads), std::ios::binary);
        contents.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        std::remove((base + std::to_string(threads)).c_str());
    }
    EXPECT_GT(contents[0].size(), 0u);
    EXPECT_EQ(contents[0], contents[1]);
    EXPECT_EQ(contents[0], contents[2]);
}

}  // namespace
}  // namespace rsvelmo::scores
