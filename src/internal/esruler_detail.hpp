// Exact scores and the acceptance scan of the multilevel estimator, exposed
// for its own tests. Callers use esruler_compat.hpp.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "rng_compat.hpp"

namespace rsvelmo::esruler {

// ES+ of one set as the exact rational peak_rank_sum/rank_sum -
// peak_misses/miss_count, with the set's hash and the sign of its signed score.
struct SampleStat {
    std::int64_t rank_sum = 0;
    std::int64_t peak_rank_sum = 0;
    std::int64_t miss_count = 0;
    std::int64_t peak_misses = 0;
    std::uint64_t set_hash = 0;
    bool positive = true;
};

// A set ranks above a level when its (ES+, hash) key is greater than this.
using Bound = SampleStat;

struct Level {
    std::vector<SampleStat> below;  // replaced sets, ascending
    std::vector<SampleStat> above;  // kept sets, ascending; never empty
    Bound bound;
};

// -1, 0, 1 as ES+(a) is below, equal to or above ES+(b); both sets have the
// same miss_count.
int compare_es(const SampleStat& a, const SampleStat& b);
// Key order: ES+, then the hash.
int compare_key(const SampleStat& a, const SampleStat& b);
// The threshold x >= 0 in units of 2^-30, truncated, saturating.
std::int64_t scaled_threshold(double x);
// ES+(a) >= x, with q = scaled_threshold(x).
bool es_at_least(const SampleStat& a, std::int64_t q);

// Accepted proposals each level needs: N * move_factor * k / 2, truncated
// to a signed 32-bit integer with saturation.
std::int64_t move_target(std::uint64_t sample_size, double move_factor, std::uint64_t pathway_size);

// The member found by the last accepted proposal, with its running values.
struct Remembered {
    bool valid = false;
    std::uint64_t position = 0;
    std::int64_t cum = 0;
    std::int64_t miss = 0;
};

// One set during a level: its members split at the chunk bounds, with a
// bitmap of the members over the genes (membership in constant time) and
// the xor of their gene hashes, both kept up to date by the perturbation,
// and the member that passed the level's bound last (a good first guess for
// the next proposal, kept from one perturbation pass to the next).
struct SampleChunks {
    explicit SampleChunks(std::size_t chunk_count = 1) { reset(chunk_count); }
    void reset(std::size_t chunk_count, std::uint64_t genes = 0);

    bool contains(std::uint64_t p) const { return (member_bits[p >> 6] >> (p & 63)) & 1; }
    void flip(std::uint64_t p) { member_bits[p >> 6] ^= std::uint64_t{1} << (p & 63); }

    std::vector<std::int64_t> chunk_weight;
    std::vector<std::vector<std::uint64_t>> chunk_members;
    std::vector<std::uint64_t> member_bits;
    std::uint64_t hash = 0;
    Remembered remembered;
};

// The weights of one orientation and the set size they are scored at. A set
// whose members all weigh 0 is walked with equal weights (each member 1), as
// the observed score of such a set is.
class Scorer {
public:
    Scorer(std::vector<std::int64_t> ranks, std::uint64_t pathway_size);

    std::uint64_t genes() const { return ranks_.size(); }
    std::int64_t weight(std::uint64_t p) const { return ranks_[p]; }
    std::int64_t misses() const { return misses_; }

    // Exact stat of an ascending set.
    SampleStat stat(std::span<const std::uint64_t> set, std::span<const std::uint64_t> gene_hash) const;

private:
    std::vector<std::int64_t> ranks_;
    std::int64_t misses_;  // D = n - k
};

// Whether the set (with total weight ns and hash) has a member whose running
// value beats the bound's key; on success `found` holds that member. Skips
// whole chunks that cannot pass.
bool accepts_chunked(const Scorer& scorer, const SampleChunks& chunks, std::int64_t ns, std::uint64_t hash,
                     const Bound& bound, Remembered& found);
// The same decision by a plain walk over every member.
bool accepts_plain(const Scorer& scorer, const SampleChunks& chunks, std::int64_t ns, std::uint64_t hash,
                   const Bound& bound);
// Whether the member at (cum, miss) beats the bound, for a set of weight ns.
bool member_passes(const Scorer& scorer, std::int64_t ns, std::uint64_t hash, const Bound& bound, std::int64_t cum,
                   std::int64_t miss);

// member_passes for one set and bound, with what does not depend on the
// member worked out once: the scans test many members against one bound.
// The member's running value (cum/ns - miss/D) beats the bound's
// (peak_rank_sum/rank_sum - peak_misses/D) when, multiplied out by
// ns*D*rank_sum > 0, ((bound.peak_misses - miss)*ns + cum*D) * rank_sum
// exceeds ns*D*peak_rank_sum; products reach about 2^76, hence 128 bits.
class PassTest {
public:
    PassTest(const Scorer& scorer, std::int64_t ns, std::uint64_t hash, const Bound& bound)
        : ns_(ns),
          d_(scorer.misses()),
          bound_misses_(bound.peak_misses),
          bound_rank_sum_(bound.rank_sum),
          rhs_(static_cast<__int128>(ns * d_) * bound.peak_rank_sum),
          hash_above_(hash > bound.set_hash) {}

    bool passes(std::int64_t cum, std::int64_t miss) const {
        const std::int64_t z = (bound_misses_ - miss) * ns_ + cum * d_;
        const __int128 lhs = static_cast<__int128>(z) * bound_rank_sum_;
        return lhs > rhs_ || (lhs == rhs_ && hash_above_);
    }

private:
    std::int64_t ns_;
    std::int64_t d_;
    std::int64_t bound_misses_;
    std::int64_t bound_rank_sum_;
    __int128 rhs_;
    bool hash_above_;
};

}  // namespace rsvelmo::esruler
