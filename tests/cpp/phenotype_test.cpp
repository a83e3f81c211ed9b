#include "phenotype.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <set>

#include "phenotype_null.hpp"
#include "pool.hpp"
#include "test_support.hpp"

namespace rsvelmo::phenotype {
namespace {

using rsvelmo::testing::bits_of;
using Labels = std::vector<std::uint8_t>;
using Sets = std::vector<std::vector<std::uint32_t>>;

// One row per gene; labels {1, 0, 1, 0, 1, 0}: class A the even columns.
struct Case {
    std::vector<double> a, b;  // the row's values in class A and in class B
    Metric metric;
    double expected;
};

TEST(Metric, FollowsTheDefinitions) {
    // A {1, 2, 3}: mean 2, sd 1; B {4, 6, 8}: mean 6, sd 2. A {10, 10, 10}:
    // sd 0 raised to 0.2 * 10 = 2; B {1, 2, 3}: sd 1 stays above 0.2 * 2.
    // Both {0, 0, 0}: sd 0 and mean 0, so 0.2 each.
    const Case cases[] = {
        {{1, 2, 3}, {4, 6, 8}, Metric::DiffOfClasses, -4.0},
        {{1, 2, 3}, {4, 6, 8}, Metric::SignalToNoise, -4.0 / 3.0},
        {{1, 2, 3}, {4, 6, 8}, Metric::TTest, -4.0 / std::sqrt(1.0 / 3.0 + 4.0 / 3.0)},
        {{1, 2, 3}, {4, 6, 8}, Metric::RatioOfClasses, 2.0 / 6.0},
        {{1, 2, 3}, {4, 6, 8}, Metric::Log2RatioOfClasses, std::log2(2.0 / 6.0)},
        {{10, 10, 10}, {1, 2, 3}, Metric::SignalToNoise, 8.0 / 3.0},
        {{10, 10, 10}, {1, 2, 3}, Metric::TTest, 8.0 / std::sqrt(4.0 / 3.0 + 1.0 / 3.0)},
        {{0, 0, 0}, {0, 0, 0}, Metric::SignalToNoise, 0.0},
        {{0, 0, 0}, {0, 0, 0}, Metric::TTest, 0.0},
        {{-3, -3, -3}, {3, 3, 3}, Metric::SignalToNoise, -6.0 / (0.2 * 3.0 + 0.2 * 3.0)},
    };
    const Labels labels{1, 0, 1, 0, 1, 0};
    for (const Case& c : cases) {
        const std::vector<double> row{c.a[0], c.b[0], c.a[1], c.b[1], c.a[2], c.b[2]};
        const auto m = class_metric({row.data(), 1, 6}, labels, c.metric);
        EXPECT_EQ(bits_of(m[0]), bits_of(c.expected)) << static_cast<int>(c.metric) << " " << c.a[0];
    }
}

// Two samples, the second 0: under labels {1, 0} diff_of_classes is the
// first column, so a case states its metric directly.
Result<Analysis> ranked(const std::vector<double>& metric, const Sets& sets, double weight = 1.0) {
    static std::vector<double> values;
    values.clear();
    for (double m : metric) values.insert(values.end(), {m, 0.0});
    Settings settings;
    settings.metric = Metric::DiffOfClasses;
    settings.weight = weight;
    return run({values.data(), metric.size(), 2}, Labels{1, 0}, sets, settings);
}

struct EsCase {
    const char* name;
    std::vector<double> metric;
    std::vector<std::uint32_t> set;
    double weight;
    double es;
    std::vector<std::uint32_t> leading_edge;
};

TEST(EnrichmentScore, HandWorkedRunningSums) {
    const std::vector<double> six{4, 3, 2, 1, -1, -2};
    const EsCase cases[] = {
        // weights 4, 2 of 6, misses 1/4: 2/3, 5/12, 3/4, 1/2, 1/4, 0.
        {"peak at the second hit", six, {0, 2}, 1.0, 0.75, {0, 2}},
        // weights 1, 2 of 3: -1/4, -1/2, -3/4, -5/12, -2/3, 0; the trough before rank 3.
        {"trough before the first hit", six, {3, 5}, 1.0, -0.75, {3, 5}},
        // weight 0: each hit 1/2: 1/2, 1/4, 3/4, ...
        {"unweighted", six, {0, 2}, 0.0, 0.75, {0, 2}},
        // weights 16, 4 of 20: 4/5, 11/20, 3/4, ...: the peak at the first hit.
        {"squared weights", six, {0, 2}, 2.0, 0.8, {0}},
        // -1/2, then +1 to 1/2, then 0: an exact tie goes to the positive side.
        {"tie", {3, 2, 1}, {1}, 1.0, 0.5, {1}},
        // metrics 0 in the set: every hit weighs the same, as with weight 0.
        {"flat set", {2, 0, 0, -1}, {1, 2}, 1.0, 0.5, {1, 2}},
        // equal metrics keep row order: ranking rows 1, 2, 0, 3; hit at rank 1.
        {"ties in row order", {1, 2, 2, 0}, {2}, 1.0, 2.0 / 3.0, {2}},
    };
    for (const EsCase& c : cases) {
        auto result = ranked(c.metric, {c.set}, c.weight);
        ASSERT_TRUE(result) << c.name << ": " << result.error();
        EXPECT_EQ(bits_of(result.value().sets[0].es), bits_of(c.es)) << c.name;  // small integers: exact
        EXPECT_EQ(result.value().sets[0].leading_edge, c.leading_edge) << c.name;
    }
}

TEST(EnrichmentScore, RankingIsStableDescending) {
    auto result = ranked({1, 2, 2, 0, 2, -5}, {{0}});
    ASSERT_TRUE(result);
    EXPECT_EQ(result.value().order, (std::vector<std::uint32_t>{1, 2, 4, 0, 3, 5}));
}

TEST(Assignments, ExactEnumerationIsEveryCombinationInOrder) {
    EXPECT_EQ(assignments(8, 4), 70u);
    EXPECT_EQ(assignments(6, 3), 20u);
    EXPECT_EQ(assignments(24, 12), 2704156u);
    EXPECT_EQ(assignments(200, 100), UINT64_MAX);
    for (auto [n, k] : {std::pair<std::size_t, std::size_t>{8, 4}, {8, 5}, {7, 3}}) {
        const auto rows = exact_assignments(n, k);
        ASSERT_EQ(rows.size(), assignments(n, k) * n);
        std::set<Labels> distinct;
        for (std::size_t r = 0; r * n < rows.size(); ++r) {
            const Labels row(rows.begin() + r * n, rows.begin() + (r + 1) * n);
            std::size_t ones = 0;
            for (auto v : row) ones += v;
            EXPECT_EQ(ones, k);
            // Lexicographic in the positions of class A: descending as 0/1 strings.
            if (r > 0) {
                EXPECT_TRUE(Labels(rows.begin() + (r - 1) * n, rows.begin() + r * n) > row);
            }
            distinct.insert(row);
        }
        EXPECT_EQ(distinct.size(), assignments(n, k));
    }
    EXPECT_EQ(exact_assignments(4, 2),
              (Labels{1, 1, 0, 0, 1, 0, 1, 0, 1, 0, 0, 1, 0, 1, 1, 0, 0, 1, 0, 1, 0, 0, 1, 1}));
}

TEST(Assignments, RandomShufflesAreRsSample) {
    // set.seed(7); l <- c(1,1,1,1,0,0,0,0); sample(l) three times (R 4.2).
    EXPECT_EQ(random_assignments(Labels{1, 1, 1, 1, 0, 0, 0, 0}, 3, 7),
              (Labels{1, 1, 1, 0, 0, 0, 0, 1, 0, 1, 0, 0, 1, 0, 1, 1, 1, 0, 0, 1, 1, 0, 0, 1}));
    // set.seed(2026); l <- c(0,1,0,1,1,0,1,0,0,1); the 700th sample(l):
    // 7,000 draws, past several refills of the twister's state.
    const auto rows = random_assignments(Labels{0, 1, 0, 1, 1, 0, 1, 0, 0, 1}, 700, 2026);
    EXPECT_EQ(Labels(rows.end() - 10, rows.end()), (Labels{0, 0, 0, 1, 1, 1, 0, 0, 1, 1}));
}

// A 4 v 4 design with a shifted block: every value of the whole run.
struct Design {
    std::vector<double> values;
    Labels labels{1, 0, 1, 1, 0, 0, 1, 0};
    Sets sets;
    Design() {
        const std::size_t genes = 60;
        std::uint64_t state = 12345;
        for (std::size_t g = 0; g < genes; ++g) {
            for (std::size_t j = 0; j < 8; ++j) {
                state = state * 6364136223846793005u + 1442695040888963407u;  // Knuth's MMIX LCG
                double v = static_cast<double>(state >> 11) * 0x1p-53;
                if (g < 8 && labels[j]) v += 1.5;    // rows 0-7 up in A
                if (g >= 50 && labels[j]) v -= 1.0;  // rows 50-59 down in A
                values.push_back(v);
            }
        }
        sets = {{0, 1, 2, 3, 4, 5, 6, 7, 30}, {50, 51, 52, 53, 54, 55}, {10, 20, 30, 40}, {11, 12, 13, 14, 15, 16, 17}};
    }
    Result<Analysis> run(Permutations permutations, std::uint64_t nperm = 200) const {
        Settings settings;
        settings.permutations = permutations;
        settings.nperm = nperm;
        return phenotype::run({values.data(), 60, 8}, labels, sets, settings);
    }
};

TEST(Run, ExactEnumerationUsesEveryAssignment) {
    auto result = Design().run(Permutations::Auto, 70);
    ASSERT_TRUE(result);
    const Analysis& a = result.value();
    EXPECT_TRUE(a.exact);
    EXPECT_EQ(a.permutations, 70u);
    for (const SetResult& r : a.sets) {
        // The observed assignment is in the null: p and q are at least 1/70.
        EXPECT_GE(r.pval, 1.0 / 70.0);
        EXPECT_GT(r.fdr, 0.0);
        EXPECT_GE(r.fwer, 1.0 / 70.0);
        EXPECT_EQ(std::signbit(r.es), std::signbit(r.nes));
        // p = b / m: a whole number of 70ths of the same-sign share.
        EXPECT_LE(r.pval, 1.0);
    }
    EXPECT_GT(a.sets[0].es, 0.0);
    EXPECT_LT(a.sets[1].es, 0.0);
    // One below the auto bound: random.
    auto random = Design().run(Permutations::Auto, 69);
    ASSERT_TRUE(random);
    EXPECT_FALSE(random.value().exact);
    EXPECT_EQ(random.value().permutations, 69u);
}

// FNV-1a over every bit of a result, so a child process can report it.
std::uint64_t fingerprint(const Analysis& a) {
    std::uint64_t h = 1469598103934665603u;
    const auto mix = [&h](std::uint64_t v) {
        for (int i = 0; i < 8; ++i) h = (h ^ ((v >> (8 * i)) & 0xff)) * 1099511628211u;
    };
    for (const SetResult& r : a.sets) {
        for (double v : {r.es, r.nes, r.pval, r.fdr, r.fwer}) mix(bits_of(v));
        for (std::uint32_t row : r.leading_edge) mix(row);
    }
    return h;
}

TEST(RunDeathTest, SameBitsWithAnyPoolSize) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // The fingerprint of the 1-thread run, pinned: each pool size must give it.
    for (std::size_t threads : {1u, 2u, 3u}) {
        EXPECT_EXIT(
            {
                pool::create(threads);
                const Design d;
                auto exact = d.run(Permutations::Exact);
                auto random = d.run(Permutations::Random, 500);
                std::fprintf(stderr, "fingerprints %016llx %016llx\n",
                             static_cast<unsigned long long>(fingerprint(exact.value())),
                             static_cast<unsigned long long>(fingerprint(random.value())));
                std::exit(0);
            },
            ::testing::ExitedWithCode(0), "fingerprints 7af1f0ced6f3a987 8b63ed9400a39dd6")
            << threads << " threads";
    }
}

struct Refusal {
    const char* name;
    std::vector<double> values;  // 2 rows
    Labels labels;
    Metric metric;
    Sets sets;
    const char* message;
};

TEST(Run, RefusesDesignsItCannotScore) {
    const std::vector<double> ok{1, 2, 3, 4, 5, 6, 7, 8, 2, 3, 4, 5, 6, 7, 8, 9};
    const Labels four{1, 1, 1, 1, 0, 0, 0, 0};
    std::vector<double> nan = ok;
    nan[5] = std::nan("");
    std::vector<double> negative = ok;
    negative[9] = -1;
    std::vector<double> zeros = ok;
    zeros[0] = zeros[1] = zeros[2] = zeros[3] = 0;
    const Refusal cases[] = {
        {"class of 2",
         ok,
         {1, 1, 0, 0, 0, 0, 0, 0},
         Metric::SignalToNoise,
         {{0}},
         "labels: the classes have 2 and 6 samples; this metric needs at least 3 in each"},
        {"class of 0",
         ok,
         {0, 0, 0, 0, 0, 0, 0, 0},
         Metric::DiffOfClasses,
         {{0}},
         "labels: the classes have 0 and 8 samples; this metric needs at least 1 in each"},
        {"label 2", ok, {2, 1, 1, 1, 0, 0, 0, 0}, Metric::DiffOfClasses, {{0}}, "labels: a label is neither 0 nor 1"},
        {"short labels", ok, {1, 0}, Metric::DiffOfClasses, {{0}}, "labels: 2 labels for 8 samples"},
        {"NaN", nan, four, Metric::DiffOfClasses, {{0}}, "matrix: the value at row 0, column 5 is not finite"},
        {"negative ratio",
         negative,
         four,
         Metric::RatioOfClasses,
         {{0}},
         "matrix: the value at row 1, column 1 is negative; a ratio metric needs values >= 0"},
        {"zero mean possible",
         zeros,
         four,
         Metric::Log2RatioOfClasses,
         {{0}},
         "matrix: row 0 has 4 zeros, so a class of 4 samples can have mean 0 and a ratio metric is undefined"},
        {"empty set", ok, four, Metric::DiffOfClasses, {{0}, {}}, "gene_sets: gene set 1 is empty"},
        {"whole matrix",
         ok,
         four,
         Metric::DiffOfClasses,
         {{0, 1}},
         "gene_sets: gene set 0 has 2 rows of 2; a set needs a gene outside it"},
        {"row out of range",
         ok,
         four,
         Metric::DiffOfClasses,
         {{2}},
         "gene_sets: gene set 0 names row 2 of a matrix with 2 rows"},
        {"row twice",
         std::vector<double>(24, 1.0),
         four,
         Metric::DiffOfClasses,
         {{1, 1}},
         "gene_sets: gene set 0 names row 1 twice"},
    };
    for (const Refusal& c : cases) {
        Settings settings;
        settings.metric = c.metric;
        auto result = run({c.values.data(), c.values.size() / 8, 8}, c.labels, c.sets, settings);
        ASSERT_FALSE(result) << c.name;
        EXPECT_EQ(result.error(), c.message) << c.name;
        EXPECT_EQ(result.failure().kind, Error::Kind::Argument);
    }
    // 12 v 12 is 2,704,156 assignments.
    std::vector<double> wide(48, 1.0);
    Labels twelve(24, 0);
    for (std::size_t j = 0; j < 12; ++j) twelve[j] = 1;
    Settings exact;
    exact.permutations = Permutations::Exact;
    auto result = run({wide.data(), 2, 24}, twelve, {{0}}, exact);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error(),
              "permutations: an exact enumeration of 2704156 assignments is too large (at most 1000000); use random "
              "permutations");
    // 2 sets x 2^29 + 1 permutations: one value past the null's bound, refused before anything is drawn.
    Settings many;
    many.permutations = Permutations::Random;
    many.nperm = (std::uint64_t{1} << 29) + 1;
    result = run({wide.data(), 2, 24}, twelve, {{0}, {1}}, many);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error(),
              "the null of 2 gene sets x 536870913 permutations would not fit in 8 GiB; use fewer of either");
}

}  // namespace
}  // namespace rsvelmo::phenotype
