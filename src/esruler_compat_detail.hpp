// Exact scores and the acceptance scan of the multilevel estimator, exposed
// for its own tests: the private header of the esruler_compat unit. Callers
// use esruler_compat.hpp.
#pragma once

#include <cstdint>
#include <limits>
#include <span>
#include <vector>

namespace rsvelmo::esruler {

// Where the probability of the levels passed, e^log_p, lies this far down,
// every estimate the run could still give (e^(log_p + a sum <= 0)) rounds
// to 0: e^-746 is below half of 2^-1074, the smallest positive double. The
// level process stops there whatever eps asks (0: no bound, or NaN), so it
// runs at most about 746 / ln 2 = 1076 halving levels, and no estimate
// changes by a bit.
inline constexpr double kUnderflow = -746.0;

// Whether the level process stops once its levels' log probability is
// log_p: below eps (log_eps = log(eps); eps 0 asks for no bound), or below
// every estimate that is not 0.
inline bool stops_at(double log_p, double eps, double log_eps) {
    return (eps != 0.0 && log_p < log_eps) || log_p < kUnderflow;
}

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

// One sampled set, kept from level to level: its members in ascending order,
// and a bitmap over the genes grouped in words of 64 and blocks of eight
// words, where each word keeps how many members lie in the earlier words of
// its block and what its members weigh, and each block how many members it has
// and what they weigh. The member at a rank is one load from the list;
// membership is one bit; how many members lie below a gene takes the members
// before its block, a word count and the bits below it in its word. A swap
// updates two block counts and the word counts of the two blocks with one
// register operation each; once it is kept, it moves the members between the
// two places in the list by one and updates the members before each block with
// fixed-length loops. The scans skip whole blocks and words by their weights.
class MemberSet {
public:
    static constexpr std::size_t kWordsPerBlock = 8;

    explicit MemberSet(std::uint64_t genes);

    // Makes the set exactly `members` (distinct, in any order), with the
    // genes' weights and hashes, and forgets the remembered member.
    void assign(std::span<const std::uint64_t> members, std::span<const std::int32_t> weights,
                std::span<const std::uint32_t> hashes);
    // The sorted list itself, in 16 bits when narrow(), else in 32.
    bool narrow() const { return narrow_; }
    std::span<const std::uint16_t> sorted16() const { return sorted16_; }
    std::span<const std::uint32_t> sorted32() const { return sorted32_; }

    bool contains(std::uint64_t p) const { return (bits_[p >> 6] >> (p & 63)) & 1; }
    // The member of rank r (0: the smallest); r must be below size().
    std::uint64_t at_rank(std::uint64_t r) const { return narrow_ ? sorted16_[r] : sorted32_[r]; }
    // Members below the gene p.
    std::uint64_t rank_of(std::uint64_t p) const;
    // Where the non-member `in` would stand in the list once the member
    // `out` has left it.
    std::uint64_t place_of(std::uint64_t in, std::uint64_t out) const { return rank_of(in) - (out < in); }
    // Replacing the member `out` by the non-member `in` comes in two halves,
    // for a proposal that may be taken back:
    // the membership, counts and weights, which the scans read, and, once
    // the proposal is kept, the sorted list and the members before each
    // block. In between, at_rank and the sorted list still describe the set
    // before the swap, and rank_of mixes the two.
    void swap_bits(std::uint64_t out, std::int32_t out_weight, std::uint64_t in, std::int32_t in_weight);
    // `out` is the member at out_at, which the caller has already read.
    void keep_swap(std::uint64_t out_at, std::uint64_t out, std::uint64_t in, std::uint64_t in_at);

    std::uint64_t size() const { return size_; }
    std::size_t blocks() const { return block_weight_.size(); }
    // Bytes the set holds on the heap once it has `members` members.
    std::size_t heap_bytes(std::uint64_t members) const;
    // Members of block b.
    std::int64_t block_size(std::size_t b) const { return block_count_[b]; }
    std::int64_t block_weight(std::size_t b) const { return block_weight_[b]; }
    // Word w (genes 64w ..): its bitmap, the members in the earlier words of
    // its block, and its members' weight.
    std::uint64_t word_bits(std::size_t w) const { return bits_[w]; }
    std::int64_t rank_in_block(std::size_t w) const { return word_rank_[w]; }
    std::int64_t word_weight(std::size_t w) const { return word_weight_[w]; }

    std::uint64_t hash = 0;   // xor of the members' gene hashes
    std::int64_t weight = 0;  // sum of the members' weights
    // The member that passed the level's bound last: a good first guess for
    // the next proposal, kept from one perturbation pass to the next.
    Remembered remembered;

private:
    template <class Gene>
    void fill_from_bits(std::vector<Gene>& sorted) const;

    std::vector<std::uint64_t> bits_;        // whole blocks of words
    std::vector<std::uint16_t> word_rank_;   // members in earlier words of the block
    std::vector<std::int32_t> block_count_;  // members in each block
    // Members in the earlier blocks as of the last kept swap; whole
    // registers, the entries after the blocks hold the size.
    std::vector<std::int32_t> block_rank_;
    // The members, ascending, in 16 bits when the genes allow (half the
    // bytes to move per swap), else in 32.
    bool narrow_ = true;
    std::vector<std::uint16_t> sorted16_;
    std::vector<std::uint32_t> sorted32_;
    std::uint64_t size_ = 0;
    // Weights in 32 bits: no sum of weights exceeds the ranking's total,
    // which the Scorer keeps below 2^31.
    std::vector<std::int32_t> block_weight_;
    std::vector<std::int32_t> word_weight_;
};

// The weights of one orientation and the set size they are scored at. A set
// whose members all weigh 0 is walked with equal weights (each member 1), as
// the observed score of such a set is.
class Scorer {
public:
    // Throws std::invalid_argument unless the weights are non-negative and
    // total at most 2^31 - 1.
    Scorer(std::span<const std::int64_t> ranks, std::uint64_t pathway_size);

    std::uint64_t genes() const { return ranks_.size(); }
    std::int64_t weight(std::uint64_t p) const { return ranks_[p]; }
    std::span<const std::int32_t> weights() const { return ranks_; }
    std::int64_t misses() const { return misses_; }

    // Exact stat of a set, with its weight and hash.
    SampleStat stat(const MemberSet& set) const;

private:
    template <class Gene>
    SampleStat walk(std::span<const Gene> set, std::int64_t total, std::uint64_t hash) const;

    std::vector<std::int32_t> ranks_;
    std::int64_t misses_;  // D = n - k
};

// Whether the set (with total weight ns and hash) has a member whose running
// value beats the bound's key; on success `found` holds that member. Skips
// whole blocks that cannot pass.
bool accepts_by_blocks(const Scorer& scorer, const MemberSet& set, std::int64_t ns, std::uint64_t hash,
                       const Bound& bound, Remembered& found);
// Whether a member at (cum, miss) of a set of weight ns and this hash beats
// the bound's key; a proposal tests one member this way. The member's
// running value (cum/ns - miss/D) beats the bound's (peak_rank_sum/rank_sum
// - peak_misses/D) when, multiplied out by ns*D*rank_sum > 0,
// ((bound.peak_misses - miss)*ns + cum*D) * rank_sum exceeds
// ns*D*peak_rank_sum; products reach about 2^76, hence 128 bits.
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

// PassTest for the scans, which test many members of one set: the division
// that turns the test into one comparison of the member's z against the
// least z that passes is done once. With r = bound.rank_sum > 0, z*r > rhs
// exactly when z > floor(rhs/r), and z*r == rhs when rhs is a multiple of r
// and z is the quotient.
class ScanTest {
public:
    ScanTest(const Scorer& scorer, std::int64_t ns, std::uint64_t hash, const Bound& bound)
        : ns_(ns), d_(scorer.misses()), bound_misses_(bound.peak_misses) {
        const auto rhs = static_cast<unsigned __int128>(static_cast<__int128>(ns * d_) * bound.peak_rank_sum);
        const auto r = static_cast<std::uint64_t>(bound.rank_sum);
        const auto high = static_cast<std::uint64_t>(rhs >> 64), low = static_cast<std::uint64_t>(rhs);
        // A quotient of 2^64 or more is past any z.
        reachable_ = high < r;
        if (!reachable_) return;
        std::uint64_t quotient, remainder;
#if defined(__x86_64__)
        // One 128-by-64-bit division, which cannot overflow as high < r.
        asm("divq %4" : "=a"(quotient), "=d"(remainder) : "a"(low), "d"(high), "rm"(r) : "cc");
#else
        quotient = static_cast<std::uint64_t>(rhs / r);
        remainder = static_cast<std::uint64_t>(rhs % r);
#endif
        const bool tie_passes = remainder == 0 && hash > bound.set_hash;
        const unsigned __int128 least = static_cast<unsigned __int128>(quotient) + (tie_passes ? 0 : 1);
        // A z of 64 bits cannot reach a larger least value.
        reachable_ = least <= static_cast<unsigned __int128>(std::numeric_limits<std::int64_t>::max());
        least_z_ = reachable_ ? static_cast<std::int64_t>(least) : 0;
    }

    // Whether any member can pass at all.
    bool reachable() const { return reachable_; }
    // No member past this gene can pass, in a set of `size` members: its
    // misses are at least gene - (size - 1) and its running weight at most
    // ns, so its z is at most (bound_misses - gene + size - 1 + D) * ns.
    // For a reachable test with ns > 0.
    std::int64_t last_gene(std::int64_t size) const { return bound_misses_ + size - 1 + d_ - least_z_ / ns_; }
    // For a reachable test only.
    bool passes(std::int64_t cum, std::int64_t miss) const {
        return (bound_misses_ - miss) * ns_ + cum * d_ >= least_z_;
    }

private:
    std::int64_t ns_;
    std::int64_t d_;
    std::int64_t bound_misses_;
    std::int64_t least_z_ = 0;
    bool reachable_;
};

}  // namespace rsvelmo::esruler
