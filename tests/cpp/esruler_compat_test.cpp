#include "esruler_compat.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <tuple>

#include "algo.hpp"
#include "enrichment_score.hpp"

namespace rsvelmo {
namespace {

using esruler::Bound;
using esruler::MemberSet;
using esruler::Scorer;

std::vector<std::int64_t> linear_weights(std::int64_t n) {
    std::vector<std::int64_t> w;
    for (std::int64_t v = n; v >= 1; --v) w.push_back(v * 1000);
    return w;
}

TEST(EsRuler, ZeroThresholdStopsAtTheFirstLevel) {
    EsRulerCompat ruler(linear_weights(50), 101, 5, 1.0);
    ruler.extend(1, 0.0, 1e-50);
    ASSERT_EQ(ruler.levels().size(), 1u);
    const PvalueEstimate r = ruler.get_pvalue(0.0, true);
    EXPECT_EQ(r.pvalue, std::exp(-1.0 / 101.0));
    EXPECT_NEAR(r.log2err, (1.0 / 101.0) / 0.6931471805599453, 1e-12);
}

// eps 0 asks for no bound, but below e^-746 every estimate is 0 in
// doubles, so the level process stops there: the bound is the tightest whole
// number of nats, e^-745 being still positive. eps keeps its own stop above
// it, and a NaN eps stops only there.
TEST(EsRuler, TheLevelsStopWhereEveryEstimateUnderflows) {
    EXPECT_EQ(std::exp(esruler::kUnderflow), 0.0);
    EXPECT_EQ(std::exp(esruler::kUnderflow - 1e-9), 0.0);
    EXPECT_GT(std::exp(esruler::kUnderflow + 1.0), 0.0);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    struct Case {
        double log_p, eps;
        bool stops;
    };
    for (const Case& c :
         {Case{-745.9, 0.0, false}, Case{-746.1, 0.0, true}, Case{-100.0, 1e-50, false}, Case{-116.0, 1e-50, true},
          Case{-745.9, nan, false}, Case{-746.1, nan, true}, Case{-746.1, 1e-320, true}, Case{-730.0, 1e-320, false}}) {
        EXPECT_EQ(esruler::stops_at(c.log_p, c.eps, std::log(c.eps)), c.stops) << c.log_p << " " << c.eps;
    }
}

// What an estimator holds at least: two copies of the sample, each set at
// least a bitmap of the genes (20,000 bits = 2,500 bytes).
TEST(EsRuler, FootprintCountsTwoSamplesOfBitmaps) {
    const double ten_million = EsRulerCompat::footprint(20000, 10'000'000, 500);
    EXPECT_GE(ten_million, 2.0 * 1e7 * 2500.0);
    EXPECT_LT(ten_million, 2.0 * 1e7 * 20000.0);
    EXPECT_EQ(EsRulerCompat::footprint(20000, 20'000'000, 500), 2.0 * ten_million);  // linear in the sample
    EXPECT_GT(EsRulerCompat::footprint(100, std::uint64_t{1} << 63, 10), 1e20);      // no wrap-around
}

TEST(EsRuler, SingleSetPopulationNeverFormsALevel) {
    EsRulerCompat ruler(linear_weights(30), 1, 4, 1.0);
    ruler.extend(3, 0.5, 1e-10);
    EXPECT_TRUE(ruler.levels().empty());
    EXPECT_TRUE(std::isnan(ruler.get_pvalue(0.5, true).pvalue));
    EsRulerCompat never_extended(linear_weights(30), 11, 4, 1.0);
    EXPECT_TRUE(std::isnan(never_extended.get_pvalue(0.1, false).log2err));
}

// Sums of weights are kept in 32 bits: a total beyond that is refused, not wrapped.
TEST(EsRuler, WeightsMustTotalBelow2To31) {
    using W = std::vector<std::int64_t>;
    EXPECT_THROW(EsRulerCompat(W{1 << 30, 1 << 30, 0}, 11, 1, 1.0), std::invalid_argument);
    EXPECT_THROW(EsRulerCompat(W{5, -1, 3}, 11, 1, 1.0), std::invalid_argument);
    EXPECT_NO_THROW(EsRulerCompat(W{(std::int64_t{1} << 31) - 2, 1}, 11, 1, 1.0));
}

TEST(EsRuler, QueriesAboveEveryLevelUseTheLastPopulation) {
    EsRulerCompat ruler(linear_weights(100), 21, 5, 1.0);
    ruler.extend(5, 0.3, 1e-50);
    ASSERT_FALSE(ruler.levels().empty());
    const PvalueEstimate high = ruler.get_pvalue(0.99, true);
    const PvalueEstimate mid = ruler.get_pvalue(0.3, true);
    EXPECT_LE(high.pvalue, mid.pvalue);
    EXPECT_TRUE(std::isnan(high.log2err));  // nothing reaches 0.99
}

// Whole runs pinned to the bit: the plain build checks the code compiled for
// this CPU, the sanitized build (without CPU dispatch) the portable code.
TEST(EsRuler, WholeRunsGiveThePinnedBits) {
    Mt19937 engine(7);
    std::vector<std::int64_t> w(3000);
    for (auto& v : w) v = engine.next_u32() >> 12;
    std::sort(w.rbegin(), w.rend());
    for (const auto& [k, es, pvalue, passes] :
         {std::tuple{15u, 0.8, 0x1.8accb2002d32dp-22, 360}, std::tuple{150u, 0.5, 0x1.4c2b068667d77p-37, 271}}) {
        EsRulerCompat ruler(w, 101, k, 1.0);
        ruler.extend(99, es, 1e-50);
        const PvalueEstimate r = ruler.get_pvalue(es, false);
        std::int64_t total = 0;
        for (std::int64_t p : ruler.pass_counts()) total += p;
        EXPECT_EQ(r.pvalue, pvalue) << k;
        EXPECT_EQ(total, passes) << k;
    }
}

// Exact tail probabilities by enumerating every set of size 1 or 2, on a
// ranking whose middle genes weigh exactly 0.
double exact_tail(const std::vector<std::int64_t>& w, std::size_t k, double x) {
    const std::size_t n = w.size();
    std::vector<double> weights(w.begin(), w.end());
    double hits = 0, total = 0;
    const auto score = [&](std::vector<std::uint64_t> set) {
        total += 1;
        if (calculate_es_velmo(weights, set, n, ScoreType::Pos).es >= x * (1 - 1e-12)) hits += 1;
    };
    for (std::uint64_t a = 0; a < n; ++a) {
        if (k == 1) {
            score({a});
            continue;
        }
        for (std::uint64_t b = a + 1; b < n; ++b) score({a, b});
    }
    return hits / total;
}

TEST(EsRuler, ZeroWeightSetsAreScoredWithEqualSteps) {
    std::vector<std::int64_t> w;
    for (int i = 0; i < 400; ++i) w.push_back(i < 180 ? 400 - i : i < 220 ? 0 : 1);
    for (std::size_t k : {1u, 2u}) {
        for (double x : {0.995, 0.97}) {
            const double exact = exact_tail(w, k, x);
            EsRulerCompat ruler(w, 101, k, 1.0);
            ruler.extend(2024, x, 0.0);
            const PvalueEstimate r = ruler.get_pvalue(x, true);
            ASSERT_TRUE(std::isfinite(r.log2err)) << k << " " << x;
            EXPECT_LT(std::fabs(std::log2(r.pvalue) - std::log2(exact)), 4 * r.log2err)
                << "k " << k << " x " << x << ": exact " << exact << ", estimate " << r.pvalue;
        }
    }
}

// The sign of a set's score is that of the first running value farthest
// from 0; small rankings with repeated and zero weights make the highest and
// the lowest value equally far often. The peak is the highest value after
// a member, computed here by a plain walk.
TEST(EsRuler, SignOfTheScoreFollowsTheFirstExtreme) {
    Mt19937 engine(11);
    int ties = 0;
    for (int round = 0; round < 20000; ++round) {
        const std::uint64_t n = 2 + engine.next_u32() % 12;
        const std::uint64_t k = 1 + engine.next_u32() % (n - 1);
        std::vector<std::int64_t> w(n);
        for (auto& v : w) v = engine.next_u32() % 3;
        std::vector<std::uint32_t> hashes(n);
        for (auto& h : hashes) h = engine.next_u32();
        std::vector<std::uint64_t> set = combination(0, n - 1, k, engine);
        std::sort(set.begin(), set.end());
        const Scorer scorer(w, k);

        std::int64_t total = 0;
        for (std::uint64_t p : set) total += w[p];
        const auto d = static_cast<std::int64_t>(n - k);
        const std::int64_t ns = total == 0 ? static_cast<std::int64_t>(k) : total;
        std::int64_t cum = 0, extreme = 0, highest = 0, lowest = 0;
        for (std::size_t i = 0; i < set.size(); ++i) {
            const auto miss = static_cast<std::int64_t>(set[i] - i);
            for (const std::int64_t v : {cum * d - miss * ns, (cum + (total == 0 ? 1 : w[set[i]])) * d - miss * ns}) {
                if (std::abs(v) > std::abs(extreme)) extreme = v;
                highest = std::max(highest, v);
                lowest = std::min(lowest, v);
            }
            cum += total == 0 ? 1 : w[set[i]];
        }
        ties += highest != 0 && highest == -lowest;
        MemberSet kept(n);
        kept.assign(set, scorer.weights(), hashes);
        const esruler::SampleStat stat = scorer.stat(kept);
        ASSERT_EQ(stat.positive, extreme >= 0) << "round " << round;
        ASSERT_EQ(stat.rank_sum, ns);
        ASSERT_EQ(stat.peak_rank_sum * d - stat.peak_misses * ns, highest) << "round " << round;
    }
    EXPECT_GT(ties, 100);
}

// Whether a member of the set beats the bound, by a plain walk over every member.
bool accepts_plain(const Scorer& scorer, std::span<const std::uint64_t> members, std::int64_t ns, std::uint64_t hash,
                   const Bound& bound) {
    const bool unit = ns == 0;
    const esruler::PassTest test(scorer, unit ? static_cast<std::int64_t>(members.size()) : ns, hash, bound);
    std::int64_t cum = 0;
    for (std::size_t i = 0; i < members.size(); ++i) {
        cum += unit ? 1 : scorer.weight(members[i]);
        if (test.passes(cum, static_cast<std::int64_t>(members[i]) - static_cast<std::int64_t>(i))) return true;
    }
    return false;
}

// The acceptance scan, which skips blocks and words, decides exactly as a
// walk over every member; the member at each rank and the members after a
// swap are those of the plain sorted list.
TEST(AcceptanceScan, SkippingEqualsPlainWalk) {
    Mt19937 engine(5);
    for (int round = 0; round < 3000; ++round) {
        // Mostly small rankings; some of more than 2^16 genes (32-bit lists).
        const std::uint64_t n = round % 100 == 0 ? 65500 + uid_wrapper(0, 100, engine)
                                                 : 20 + uid_wrapper(0, round % 3 == 0 ? 3000 : 200, engine);
        const std::uint64_t k = 1 + uid_wrapper(0, std::min<std::uint64_t>(n - 2, round % 2 ? 40 : 400), engine);
        std::vector<std::int64_t> w(n);
        for (auto& v : w)
            v = uid_wrapper(0, 3, engine) == 0 ? 0 : static_cast<std::int64_t>(uid_wrapper(1, 5000, engine));
        if (round % 5 == 0) std::fill(w.begin(), w.end(), 0);  // every member weighs 0
        std::sort(w.rbegin(), w.rend());
        std::vector<std::uint32_t> hash(n);
        for (auto& h : hash) h = engine.next_u32();
        const Scorer scorer(w, k);

        auto set_of = [&] {
            auto s = combination(0, n - 1, k, engine);
            std::sort(s.begin(), s.end());
            return s;
        };
        MemberSet bound_set(n);
        bound_set.assign(set_of(), scorer.weights(), hash);
        const Bound bound = scorer.stat(bound_set);
        auto members = set_of();
        MemberSet set(n);
        set.assign(members, scorer.weights(), hash);
        // A swap, as the perturbation makes them.
        const std::uint64_t out_at = uid_wrapper(0, k - 1, engine), out = members[out_at];
        std::uint64_t in = uid_wrapper(0, n - 1, engine);
        if (!set.contains(in)) {
            const std::uint64_t in_at = set.place_of(in, out);
            set.swap_bits(out, scorer.weights()[out], in, scorer.weights()[in]);
            set.keep_swap(out_at, out, in, in_at);
            members.erase(std::find(members.begin(), members.end(), out));
            members.insert(std::upper_bound(members.begin(), members.end(), in), in);
        }
        std::vector<std::uint64_t> listed;
        for (std::uint64_t p = 0; p < n; ++p) {
            if (set.contains(p)) listed.push_back(p);
        }
        ASSERT_EQ(listed, members) << "round " << round;
        const std::uint64_t r = uid_wrapper(0, k - 1, engine);
        ASSERT_EQ(set.at_rank(r), members[r]) << "round " << round;

        std::int64_t ns = 0;
        for (std::uint64_t p : members) ns += w[p];
        esruler::Remembered found;
        ASSERT_EQ(esruler::accepts_by_blocks(scorer, set, ns, set.hash, bound, found),
                  accepts_plain(scorer, members, ns, set.hash, bound))
            << "round " << round;
    }
}

}  // namespace
}  // namespace rsvelmo
