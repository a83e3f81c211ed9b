#include "esruler_compat.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <numbers>
#include <stdexcept>

#include "core.hpp"
#include "cpu_dispatch.hpp"
#include "special.hpp"

namespace rsvelmo {

namespace esruler {

namespace {

using Int128 = __int128;

}  // namespace

int compare_es(const SampleStat& a, const SampleStat& b) {
    // cum_a/NS_a - miss_a/D against cum_b/NS_b - miss_b/D, multiplied out by
    // D*NS_a*NS_b > 0.
    const std::int64_t d = a.miss_count;
    const Int128 lhs =
        static_cast<Int128>(a.peak_rank_sum * d + (b.peak_misses - a.peak_misses) * a.rank_sum) * b.rank_sum;
    const Int128 rhs = static_cast<Int128>(d * a.rank_sum) * b.peak_rank_sum;
    return lhs < rhs ? -1 : lhs > rhs ? 1 : 0;
}

int compare_key(const SampleStat& a, const SampleStat& b) {
    if (const int c = compare_es(a, b); c != 0) return c;
    return a.set_hash < b.set_hash ? -1 : a.set_hash > b.set_hash ? 1 : 0;
}

std::int64_t scaled_threshold(double x) {
    const double scaled = x * kWeightScale;
    if (std::isnan(scaled)) return 0;
    if (scaled >= 9223372036854775808.0) return std::numeric_limits<std::int64_t>::max();
    if (scaled <= -9223372036854775808.0) return std::numeric_limits<std::int64_t>::min();
    return static_cast<std::int64_t>(scaled);  // truncates toward zero
}

bool es_at_least(const SampleStat& a, std::int64_t q) {
    const std::int64_t d = a.miss_count;
    const Int128 lhs =
        static_cast<Int128>(a.peak_rank_sum * d - a.peak_misses * a.rank_sum) * (Int128{1} << kWeightScaleBits);
    const Int128 rhs = static_cast<Int128>(d * a.rank_sum) * q;
    return lhs >= rhs;
}

std::int64_t move_target(std::uint64_t sample_size, double move_factor, std::uint64_t pathway_size) {
    const double target = static_cast<double>(sample_size) * move_factor * static_cast<double>(pathway_size) * 0.5;
    if (std::isnan(target)) return 0;
    return static_cast<std::int64_t>(std::clamp(target, -2147483648.0, 2147483647.0));
}

namespace {

// Four 32-bit and eight 16-bit lanes: the rank counts are compared and
// updated a register at a time, on any target the compiler supports.
using I32x4 = std::int32_t __attribute__((vector_size(16)));
using U16x8 = std::uint16_t __attribute__((vector_size(16)));
constexpr std::size_t kLanes = 4;

template <class V, class T>
V load(const T* p) {
    V v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

template <class V, class T>
void store(T* p, V v) {
    std::memcpy(p, &v, sizeof v);
}

// The bits set in x, counted in one register: the build does not assume a
// population count instruction.
unsigned count_bits(std::uint64_t x) {
    x = x - ((x >> 1) & 0x5555555555555555u);
    x = (x & 0x3333333333333333u) + ((x >> 2) & 0x3333333333333333u);
    x = (x + (x >> 4)) & 0x0f0f0f0f0f0f0f0fu;
    return static_cast<unsigned>((x * 0x0101010101010101u) >> 56);
}

// Moves the members of the sorted list between out_at and in_at by one
// place and puts `in` at in_at.
template <class Gene>
void shift_in_list(Gene* sorted, std::uint64_t out_at, std::uint64_t in, std::uint64_t in_at) {
    if (out_at < in_at) {
        std::memmove(sorted + out_at, sorted + out_at + 1, (in_at - out_at) * sizeof *sorted);
    } else {
        std::memmove(sorted + in_at + 1, sorted + in_at, (out_at - in_at) * sizeof *sorted);
    }
    sorted[in_at] = static_cast<Gene>(in);
}

}  // namespace

MemberSet::MemberSet(std::uint64_t genes) : narrow_(genes <= 65536) {
    const std::size_t words = (genes + 63) / 64;
    const std::size_t blocks = std::max<std::size_t>(1, (words + kWordsPerBlock - 1) / kWordsPerBlock);
    bits_.assign(blocks * kWordsPerBlock, 0);
    word_rank_.assign(blocks * kWordsPerBlock, 0);
    block_count_.assign(blocks, 0);
    // Whole registers of running counts; the entries after the blocks hold the size.
    block_rank_.assign((blocks + kLanes) / kLanes * kLanes, 0);
    block_weight_.assign(blocks, 0);
    word_weight_.assign(blocks * kWordsPerBlock, 0);
}

std::size_t MemberSet::heap_bytes(std::uint64_t members) const {
    const std::size_t list =
        static_cast<std::size_t>(members) * (narrow_ ? sizeof(std::uint16_t) : sizeof(std::uint32_t));
    return bits_.size() * sizeof(std::uint64_t) + word_rank_.size() * sizeof(std::uint16_t) +
           (block_count_.size() + block_rank_.size() + block_weight_.size() + word_weight_.size()) *
               sizeof(std::int32_t) +
           list;
}

void MemberSet::assign(std::span<const std::uint64_t> members, std::span<const std::int32_t> weights,
                       std::span<const std::uint32_t> hashes) {
    std::fill(bits_.begin(), bits_.end(), 0);
    std::fill(block_weight_.begin(), block_weight_.end(), 0);
    std::fill(word_weight_.begin(), word_weight_.end(), 0);
    // word_rank_ counts the members of each word for a moment; the running
    // counts follow.
    std::fill(word_rank_.begin(), word_rank_.end(), 0);
    weight = 0;
    hash = 0;
    remembered = {};
    for (std::uint64_t p : members) {
        bits_[p >> 6] |= std::uint64_t{1} << (p & 63);
        ++word_rank_[p >> 6];
        block_weight_[(p >> 6) / kWordsPerBlock] += weights[p];
        word_weight_[p >> 6] += weights[p];
        weight += weights[p];
        hash ^= hashes[p];
    }
    std::int32_t total = 0;
    for (std::size_t b = 0; b < blocks(); ++b) {
        std::uint16_t in_block = 0;
        for (std::size_t w = b * kWordsPerBlock; w < (b + 1) * kWordsPerBlock; ++w) {
            const std::uint16_t in_word = word_rank_[w];
            word_rank_[w] = in_block;
            in_block = static_cast<std::uint16_t>(in_block + in_word);
        }
        block_count_[b] = in_block;
        block_rank_[b] = total;
        total += in_block;
    }
    std::fill(block_rank_.begin() + static_cast<std::ptrdiff_t>(blocks()), block_rank_.end(), total);
    // The list in ascending order, read off the bitmap.
    if (narrow_) {
        fill_from_bits(sorted16_);
    } else {
        fill_from_bits(sorted32_);
    }
    size_ = members.size();
}

template <class Gene>
void MemberSet::fill_from_bits(std::vector<Gene>& sorted) const {
    sorted.clear();
    for (std::size_t w = 0; w < bits_.size(); ++w) {
        for (std::uint64_t x = bits_[w]; x != 0; x &= x - 1) {
            sorted.push_back(static_cast<Gene>(w * 64 + static_cast<std::size_t>(std::countr_zero(x))));
        }
    }
}

RSVELMO_CPU_CLONES std::uint64_t MemberSet::rank_of(std::uint64_t p) const {
    const std::uint64_t below = (std::uint64_t{1} << (p & 63)) - 1;
    return static_cast<std::uint64_t>(block_rank_[(p >> 6) / kWordsPerBlock] + word_rank_[p >> 6]) +
           count_bits(bits_[p >> 6] & below);
}

RSVELMO_CPU_CLONES void MemberSet::keep_swap(std::uint64_t out_at, std::uint64_t out, std::uint64_t in,
                                             std::uint64_t in_at) {
    const auto out_block = static_cast<std::int32_t>(out / (kWordsPerBlock * 64));
    const auto in_block = static_cast<std::int32_t>(in / (kWordsPerBlock * 64));
    I32x4 index = {0, 1, 2, 3};
    std::int32_t* const block_rank = block_rank_.data();  // (the stores cannot move the vector)
    for (std::size_t i = 0; i < block_rank_.size(); i += kLanes, index += static_cast<std::int32_t>(kLanes)) {
        store(block_rank + i, load<I32x4>(block_rank + i) + (index > out_block) - (index > in_block));
    }
    if (narrow_) {
        shift_in_list(sorted16_.data(), out_at, in, in_at);
    } else {
        shift_in_list(sorted32_.data(), out_at, in, in_at);
    }
}

RSVELMO_CPU_CLONES void MemberSet::swap_bits(std::uint64_t out, std::int32_t out_weight, std::uint64_t in,
                                             std::int32_t in_weight) {
    const std::size_t out_word = out >> 6, in_word = in >> 6;
    bits_[out_word] ^= std::uint64_t{1} << (out & 63);
    bits_[in_word] ^= std::uint64_t{1} << (in & 63);
    // Later words of each block, and later blocks, lose or gain one member
    // (a comparison's true lanes are -1).
    std::uint16_t* out_ranks = &word_rank_[out_word - out_word % kWordsPerBlock];
    std::uint16_t* in_ranks = &word_rank_[in_word - in_word % kWordsPerBlock];
    const auto out_slot = static_cast<std::uint16_t>(out_word % kWordsPerBlock);
    const auto in_slot = static_cast<std::uint16_t>(in_word % kWordsPerBlock);
    U16x8 slots = {0, 1, 2, 3, 4, 5, 6, 7};
    for (std::size_t i = 0; i < kWordsPerBlock; i += 8, slots += 8) {
        store(out_ranks + i, load<U16x8>(out_ranks + i) + reinterpret_cast<U16x8>(slots > out_slot));
        store(in_ranks + i, load<U16x8>(in_ranks + i) - reinterpret_cast<U16x8>(slots > in_slot));
    }
    const auto out_block = static_cast<std::int32_t>(out_word / kWordsPerBlock);
    const auto in_block = static_cast<std::int32_t>(in_word / kWordsPerBlock);
    --block_count_[out_block];
    ++block_count_[in_block];
    block_weight_[out_block] -= out_weight;
    block_weight_[in_block] += in_weight;
    word_weight_[out_word] -= out_weight;
    word_weight_[in_word] += in_weight;
    weight += in_weight - out_weight;
}

Scorer::Scorer(std::span<const std::int64_t> ranks, std::uint64_t pathway_size)
    : misses_(static_cast<std::int64_t>(ranks.size() - pathway_size)) {
    // Every sum of weights the estimator keeps (a word's, a block's, a
    // set's) is at most the total, so 32 bits hold them all when they hold
    // the total; the tables are half the size, which the random lookups of
    // every proposal feel. Scaled ranking weights total about 2^30.
    std::int64_t total = 0;
    for (const std::int64_t w : ranks) {
        if (w < 0 || w > std::numeric_limits<std::int32_t>::max() - total) {
            throw std::invalid_argument("multilevel weights must be non-negative and total at most 2^31 - 1");
        }
        total += w;
    }
    ranks_.assign(ranks.begin(), ranks.end());
}

RSVELMO_CPU_CLONES SampleStat Scorer::stat(const MemberSet& set) const {
    return set.narrow() ? walk(set.sorted16(), set.weight, set.hash) : walk(set.sorted32(), set.weight, set.hash);
}

template <class Gene>
SampleStat Scorer::walk(std::span<const Gene> set, std::int64_t total, std::uint64_t hash) const {
    SampleStat s;
    s.miss_count = misses_;
    s.set_hash = hash;
    const bool unit = total == 0;  // all members weigh 0: equal steps
    s.rank_sum = unit ? static_cast<std::int64_t>(set.size()) : total;

    // The running value is highest just after a member and lowest just
    // before one, so the first extreme of the walk is the first highest
    // value after a member or the first lowest before one: whichever is
    // farther from 0, and on a tie the one met first.
    std::int64_t cum = 0;
    std::int64_t best = 0;    // highest value after a member, times NS*D
    std::int64_t lowest = 0;  // lowest value before a member, same units
    std::size_t best_at = 0, lowest_at = 0;
    for (std::size_t i = 0; i < set.size(); ++i) {
        const std::uint64_t p = set[i];
        const std::int64_t w = unit ? 1 : ranks_[p];
        const auto miss = static_cast<std::int64_t>(p - i);
        const std::int64_t before = cum * misses_ - miss * s.rank_sum;
        cum += w;
        const std::int64_t after = cum * misses_ - miss * s.rank_sum;
        const bool higher = after > best, lower = before < lowest;
        best = higher ? after : best;
        s.peak_rank_sum = higher ? cum : s.peak_rank_sum;
        s.peak_misses = higher ? miss : s.peak_misses;
        best_at = higher ? i : best_at;
        lowest = lower ? before : lowest;
        lowest_at = lower ? i : lowest_at;
    }
    // The value after member i is met before the value before member j
    // when i < j; a walk that never leaves 0 (every gene a member) is
    // positive.
    s.positive = best > -lowest || (best == -lowest && (best == 0 || best_at < lowest_at));
    return s;
}

namespace {

// The scan, for real weights or (Unit) one per member.
template <bool Unit>
RSVELMO_CPU_CLONES bool scan_blocks(const Scorer& scorer, const MemberSet& set, const ScanTest& test,
                                    Remembered& found) {
    constexpr std::size_t kWords = MemberSet::kWordsPerBlock;
    // A block, and then a word, is walked only when its optimistic value
    // passes: all of its weight with the misses before its first gene (the
    // block) or member (the word). The tests of a group of blocks, and of
    // the words of a block, go into a bit mask first, without branches, so
    // that only the few candidates cost a branch.
    std::array<std::int64_t, 64> cum_before;   // the weight of the earlier blocks
    std::array<std::int64_t, 64> rank_before;  // their members
    std::int64_t cum = 0;
    std::int64_t rank = 0;
    // Blocks that start past the last gene that can pass are not scanned.
    const std::int64_t last_gene = test.last_gene(static_cast<std::int64_t>(set.size()));
    if (last_gene < 0) return false;
    const std::size_t blocks = std::min(set.blocks(), static_cast<std::size_t>(last_gene) / (kWords * 64) + 1);
    for (std::size_t group = 0; group < blocks; group += 64) {
        const std::size_t end = std::min(blocks, group + 64);
        std::uint64_t candidates = 0;
        for (std::size_t b = group; b < end; ++b) {
            const std::int64_t size = set.block_size(b);
            cum_before[b - group] = cum;
            rank_before[b - group] = rank;
            cum += Unit ? size : set.block_weight(b);
            const auto first_gene = static_cast<std::int64_t>(b * kWords * 64);
            const bool open = (size != 0) & test.passes(cum, first_gene - rank);
            rank += size;
            candidates |= std::uint64_t{open} << (b - group);
        }
        for (; candidates != 0; candidates &= candidates - 1) {
            const std::size_t b = group + static_cast<std::size_t>(std::countr_zero(candidates));
            const std::int64_t block_rank = rank_before[b - group];
            std::int64_t word_cum = cum_before[b - group];
            std::array<std::int64_t, kWords> word_cum_before;
            std::uint64_t words = 0;
            for (std::size_t i = 0; i < kWords; ++i) {
                const std::size_t w = b * kWords + i;
                const std::uint64_t x = set.word_bits(w);
                word_cum_before[i] = word_cum;
                word_cum += Unit ? std::popcount(x) : set.word_weight(w);
                const std::int64_t first = static_cast<std::int64_t>(w * 64) + std::countr_zero(x);
                const bool open = (x != 0) & test.passes(word_cum, first - block_rank - set.rank_in_block(w));
                words |= std::uint64_t{open} << i;
            }
            for (; words != 0; words &= words - 1) {
                const auto i = static_cast<std::size_t>(std::countr_zero(words));
                const std::size_t w = b * kWords + i;
                std::int64_t index = block_rank + set.rank_in_block(w);
                std::int64_t c = word_cum_before[i];
                for (std::uint64_t x = set.word_bits(w); x != 0; x &= x - 1, ++index) {
                    const auto p = static_cast<std::int64_t>(w * 64) + std::countr_zero(x);
                    c += Unit ? 1 : scorer.weight(static_cast<std::uint64_t>(p));
                    if (test.passes(c, p - index)) {
                        found = {!Unit, static_cast<std::uint64_t>(p), c, p - index};
                        return true;
                    }
                }
            }
        }
    }
    return false;
}

}  // namespace

bool accepts_by_blocks(const Scorer& scorer, const MemberSet& set, std::int64_t ns, std::uint64_t hash,
                       const Bound& bound, Remembered& found) {
    // A set whose members all weigh 0 is walked with one per member.
    const bool unit = ns == 0;
    const ScanTest test(scorer, unit ? static_cast<std::int64_t>(set.size()) : ns, hash, bound);
    if (!test.reachable()) return false;
    return unit ? scan_blocks<true>(scorer, set, test, found) : scan_blocks<false>(scorer, set, test, found);
}

}  // namespace esruler

using esruler::Bound;
using esruler::MemberSet;
using esruler::SampleStat;

namespace {

// sum of -1/j for j = from .. to, in increasing j, from 0.
double harmonic_tail(std::uint64_t from, std::uint64_t to) {
    double t = 0.0;
    for (std::uint64_t j = from; j <= to; ++j) t += -1.0 / static_cast<double>(j);
    return t;
}

}  // namespace

EsRulerCompat::EsRulerCompat(std::span<const std::int64_t> ranks, std::uint64_t sample_size, std::uint64_t pathway_size,
                             double move_factor)
    : scorer_(ranks, pathway_size),
      gene_hash_(scorer_.genes(), 0),
      sample_size_(sample_size),
      samples_(sample_size, MemberSet(scorer_.genes())),
      // A fixed number of proposals per set and pass, a tenth of its size.
      proposals_per_set_(static_cast<std::size_t>(
          std::max<std::int64_t>(1, static_cast<std::int64_t>(static_cast<double>(pathway_size) * 0.1)))),
      pathway_size_(pathway_size),
      move_factor_(move_factor) {}

double EsRulerCompat::footprint(std::uint64_t genes, std::uint64_t sample_size, std::uint64_t pathway_size) {
    const MemberSet probe(genes);
    const double per_set = static_cast<double>(sizeof(MemberSet) + probe.heap_bytes(pathway_size));
    const double per_score = static_cast<double>(sizeof(RankedSet) + sizeof(SampleStat));
    return static_cast<double>(sample_size) * (2.0 * per_set + per_score);
}

void EsRulerCompat::resample_genesets(Mt19937& engine) {
    const std::size_t n_sets = samples_.size();
    // Scratch kept from level to level, like the renewed sample below: a
    // level allocates only what it keeps.
    std::vector<RankedSet>& entries = ranked_;
    entries.clear();
    for (std::size_t s = 0; s < n_sets; ++s) entries.push_back({scorer_.stat(samples_[s]), s});
    // The set index breaks every tie, so this order is total (a stable sort
    // gives the same).
    std::sort(entries.begin(), entries.end(), [](const RankedSet& a, const RankedSet& b) {
        if (const int c = esruler::compare_key(a.stat, b.stat); c != 0) return c < 0;
        if (a.stat.positive != b.stat.positive) return !a.stat.positive;
        return a.set < b.set;
    });

    const SampleStat& median = entries[n_sets / 2].stat;
    std::size_t cut = 0;
    while (esruler::compare_key(entries[cut].stat, median) < 0) ++cut;
    if (cut == 0) {
        while (cut < n_sets && esruler::compare_key(entries[cut].stat, entries[0].stat) == 0) ++cut;
        if (cut == n_sets) return;  // one key throughout: no level can form
    }

    esruler::Level level;
    for (std::size_t i = 0; i < n_sets; ++i) (i < cut ? level.below : level.above).push_back(entries[i].stat);
    level.bound = entries[cut - 1].stat;
    levels_.push_back(std::move(level));

    std::vector<MemberSet>& renewed = spare_samples_;  // copies reuse its sets' memory
    renewed.resize(n_sets, MemberSet(scorer_.genes()));
    for (std::size_t t = 0; t < cut; ++t) {
        const std::uint64_t j = cut + uid_wrapper(0, n_sets - cut - 1, engine);
        renewed[t] = samples_[entries[j].set];
    }
    for (std::size_t i = cut; i < n_sets; ++i) renewed[i] = samples_[entries[i].set];
    samples_.swap(renewed);
}

void EsRulerCompat::extend(std::uint64_t seed, double es, double eps, const Progress* progress) {
    const auto stop_asked = [progress] { return progress != nullptr && progress->stopped(); };
    const std::uint64_t n = scorer_.genes();
    const std::uint64_t k = pathway_size_;
    const std::size_t n_sets = samples_.size();
    Mt19937 engine(static_cast<std::uint32_t>(seed));
    for (auto& h : gene_hash_) h = engine.next_u32();
    CombinationSampler sampler;
    std::vector<std::uint64_t> members;
    for (MemberSet& set : samples_) {
        sampler.draw(0, n - 1, k, engine, members);
        set.assign(members, scorer_.weights(), gene_hash_);
    }
    resample_genesets(engine);

    if (levels_.empty()) return;

    const std::int64_t q = esruler::scaled_threshold(es);
    const double log_eps = std::log(eps);
    double log_p = 0.0;
    const std::int64_t target = esruler::move_target(n_sets, move_factor_, k);
    while (true) {
        const esruler::Level& last = levels_.back();
        if (esruler::es_at_least(last.bound, q) || stop_asked()) return;
        log_p += harmonic_tail(last.above.size() + 1, sample_size_);
        if (esruler::stops_at(log_p, eps, log_eps)) return;

        // A set renewed by the resampling starts the level without a
        // remembered member.
        for (MemberSet& set : samples_) set.remembered = {};

        const std::int64_t passes = target >= 1 ? perturb_level(engine, last.bound, target, progress) : 0;
        if (passes < 0) return;
        pass_counts_.push_back(passes);

        const std::size_t before = levels_.size();
        resample_genesets(engine);
        if (levels_.size() == before) return;
    }
}

PvalueEstimate EsRulerCompat::get_pvalue(double es, bool sign) const {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    if (levels_.empty()) return {nan, nan};
    const std::int64_t q = esruler::scaled_threshold(es);
    const auto counts = [&](const SampleStat& s) { return (sign || s.positive) && esruler::es_at_least(s, q); };
    const auto counts_above = [&](const SampleStat& s) { return sign || s.positive; };

    double log_p = 0.0;
    double variance = 0.0;
    const double n_sets = static_cast<double>(sample_size_);
    std::uint64_t population = 0;
    std::uint64_t count = 0;
    bool final_level = false;
    for (const esruler::Level& level : levels_) {
        if (esruler::es_at_least(level.bound, q)) {
            population = sample_size_;
            count = std::count_if(level.above.begin(), level.above.end(), counts_above) +
                    std::count_if(level.below.begin(), level.below.end(), counts);
            final_level = true;
            break;
        }
        const std::uint64_t a = level.above.size();
        log_p += harmonic_tail(a + 1, sample_size_);
        variance += special::trigamma(static_cast<double>(a) + 1.0) - special::trigamma(n_sets + 1.0);
    }
    if (!final_level) {
        const auto& above = levels_.back().above;
        population = above.size();
        count = std::count_if(above.begin(), above.end(), counts);
    }

    double p, log2err;
    if (count == 0) {
        p = std::exp(log_p + harmonic_tail(1, population));
        log2err = nan;
    } else {
        p = std::exp(log_p + harmonic_tail(count, population));
        variance +=
            special::trigamma(static_cast<double>(count)) - special::trigamma(static_cast<double>(population) + 1.0);
        log2err = std::sqrt(variance) / std::numbers::ln2;
    }
    if (p > 1.0) p = 1.0;
    return {p, log2err};
}

}  // namespace rsvelmo
