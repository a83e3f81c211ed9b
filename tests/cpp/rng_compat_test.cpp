#include "rng_compat.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <numeric>
#include <tuple>

#include "test_support.hpp"

namespace rsvelmo {
namespace {

using testing::bits_of;

// Integers as the fixture's tokens.
template <typename Range>
std::vector<std::string> tokens(const Range& values) {
    std::vector<std::string> out;
    for (const auto v : values) out.push_back(std::to_string(v));
    return out;
}

TEST(RFixtures, EveryFixtureSeedMatchesR) {
    const auto rows = testing::read_flat_jsonl(testing::data_path("r_streams.jsonl"));
    ASSERT_EQ(rows.size(), 6u);
    for (const auto& row : rows) {
        const std::uint64_t seed = std::stoull(row.at("seed")[0]);
        SCOPED_TRACE("seed " + std::to_string(seed));
        RMt19937SeedCompat uniforms(seed);
        for (const auto& hex : row.at("mt_runif_hex"))
            EXPECT_EQ(bits_of(uniforms.unif_rand()), bits_of(std::strtod(hex.c_str(), nullptr)));
        for (const auto& [key, dn] : {std::pair{"mt_unif_index_1e9_plus1", std::uint64_t{1000000000}},
                                      {"mt_unif_index_2147483647_plus1", 2147483647},
                                      {"mt_unif_index_10_plus1", 10},
                                      {"mt_unif_index_2pow40_plus1", std::uint64_t{1} << 40}}) {
            RMt19937SeedCompat rng(seed);
            std::vector<std::uint64_t> drawn;
            for (std::size_t i = 0; i < row.at(key).size(); ++i) drawn.push_back(rng.r_unif_index(dn) + 1);
            EXPECT_EQ(tokens(drawn), row.at(key)) << key;
        }
        for (const auto& [key, values] : row) {
            if (key.rfind("lecuyer_sample_", 0) != 0) continue;
            const std::uint64_t n = std::stoull(key.substr(15)), k = std::stoull(key.substr(key.rfind('_') + 1));
            RLecuyerCmrgSeedCompat rng(seed);
            std::vector<std::uint64_t> drawn;
            ASSERT_TRUE(NoReplaceSampler(n).draw(rng, k, drawn));
            EXPECT_EQ(tokens(drawn), values) << key;
        }
    }
}

TEST(RMersenneTwister, IndexBelowZeroAndOneConsumesNothingAndOneUniform) {
    RMt19937SeedCompat a(7), b(7), reference(7);
    const double first = reference.unif_rand();
    const double second = reference.unif_rand();
    EXPECT_EQ(a.r_unif_index(0), 0u);
    EXPECT_EQ(bits_of(a.unif_rand()), bits_of(first));  // nothing consumed
    EXPECT_EQ(b.r_unif_index(1), 0u);
    EXPECT_EQ(bits_of(b.unif_rand()), bits_of(second));  // exactly one consumed
}

// The R fixtures pin the draws. A reused sampler restores its pool after
// each draw; an empty draw consumes nothing and one too large is refused.
TEST(Lecuyer, ReusedSamplerDrawsWhatFreshSamplersDraw) {
    RLecuyerCmrgSeedCompat a(99), b(99);
    NoReplaceSampler sampler(500);
    std::vector<std::uint64_t> out, fresh;
    for (std::uint64_t k : {5u, 300u, 0u, 500u, 1u, 77u}) {
        ASSERT_TRUE(sampler.draw(a, k, out));
        ASSERT_TRUE(NoReplaceSampler(500).draw(b, k, fresh));
        EXPECT_EQ(out, fresh);
    }
    EXPECT_EQ(a.unif_rand(), b.unif_rand());
    EXPECT_FALSE(sampler.draw(a, 501, out));
}

TEST(Mt19937, CombinationExamples) {
    using V = std::vector<std::uint64_t>;
    const std::tuple<std::uint64_t, std::uint64_t, std::uint64_t, V> cases[] = {
        {1, 10, 3, {3, 8, 7}},
        {0, 9, 8, {4, 3, 9, 1, 7, 6, 0, 8}},
        {1, 20000, 5, {17543, 6068, 6877, 6415, 10027}},
    };
    for (const auto& [lo, hi, k, expected] : cases) {
        Mt19937 engine(42);
        EXPECT_EQ(combination(lo, hi, k, engine), expected);
    }
}

TEST(Mt19937, CombinationEdges) {
    Mt19937 engine(1), untouched(1);
    EXPECT_TRUE(combination(5, 14, 0, engine).empty());
    EXPECT_TRUE(combination(5, 14, 11, engine).empty());
    EXPECT_EQ(engine.next_u32(), untouched.next_u32());  // neither drew

    auto all = combination(5, 14, 10, engine);
    std::sort(all.begin(), all.end());
    std::vector<std::uint64_t> expected(10);
    std::iota(expected.begin(), expected.end(), 5);
    EXPECT_EQ(all, expected);

    Mt19937 a(8), b(8);
    EXPECT_EQ(uid_wrapper(6, 6, a), 6u);
    (void)b.next_u32();
    EXPECT_EQ(a.next_u32(), b.next_u32());  // one output consumed
}

TEST(Mt19937, ReusedCombinationSamplerDrawsWhatFreshCallsDraw) {
    Mt19937 a(2024), b(2024);
    CombinationSampler sampler;
    std::vector<std::uint64_t> out;
    for (std::uint64_t k : {3u, 60u, 100u, 0u, 51u, 49u, 7u}) {
        sampler.draw(1, 100, k, a, out);
        EXPECT_EQ(out, combination(1, 100, k, b));
    }
}

TEST(Mt19937, UniformIndexDrawsWhatUidWrapperDraws) {
    for (std::uint64_t hi : {0ull, 1ull, 2ull, 6ull, 999ull, 11092ull, 2147483652ull, 4294967293ull}) {
        Mt19937 a(17), b(17);
        const UniformIndex index(hi);
        for (int i = 0; i < 20000; ++i) ASSERT_EQ(index.draw(a), uid_wrapper(0, hi, b)) << "hi " << hi << " draw " << i;
    }
}

}  // namespace
}  // namespace rsvelmo
