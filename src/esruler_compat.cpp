#include "esruler_compat.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>

#include "internal/special.hpp"

namespace rsvelmo {

namespace esruler {

namespace {

using Int128 = __int128;

// 2^30: thresholds are compared in the units of the scaled weights' total.
constexpr double kThresholdScale = 1073741824.0;

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
    const double scaled = x * kThresholdScale;
    if (std::isnan(scaled)) return 0;
    if (scaled >= 9223372036854775808.0) return std::numeric_limits<std::int64_t>::max();
    if (scaled <= -9223372036854775808.0) return std::numeric_limits<std::int64_t>::min();
    return static_cast<std::int64_t>(scaled);  // truncates toward zero
}

bool es_at_least(const SampleStat& a, std::int64_t q) {
    const std::int64_t d = a.miss_count;
    const Int128 lhs = static_cast<Int128>(a.peak_rank_sum * d - a.peak_misses * a.rank_sum) * (Int128{1} << 30);
    const Int128 rhs = static_cast<Int128>(d * a.rank_sum) * q;
    return lhs >= rhs;
}

std::int64_t move_target(std::uint64_t sample_size, double move_factor, std::uint64_t pathway_size) {
    const double target = static_cast<double>(sample_size) * move_factor * static_cast<double>(pathway_size) * 0.5;
    if (std::isnan(target)) return 0;
    return static_cast<std::int64_t>(std::clamp(target, -2147483648.0, 2147483647.0));
}

void SampleChunks::reset(std::size_t chunk_count, std::uint64_t genes) {
    chunk_weight.assign(chunk_count, 0);
    chunk_members.resize(chunk_count);
    for (auto& members : chunk_members) members.clear();
    member_bits.assign((genes + 63) / 64, 0);
    hash = 0;
    remembered = {};
}

Scorer::Scorer(std::vector<std::int64_t> ranks, std::uint64_t pathway_size)
    : ranks_(std::move(ranks)), misses_(static_cast<std::int64_t>(ranks_.size() - pathway_size)) {}

SampleStat Scorer::stat(std::span<const std::uint64_t> set, std::span<const std::uint64_t> gene_hash) const {
    SampleStat s;
    s.miss_count = misses_;
    std::int64_t total = 0;
    for (std::uint64_t p : set) total += ranks_[p];
    const bool unit = total == 0;  // all members weigh 0: equal steps
    s.rank_sum = unit ? static_cast<std::int64_t>(set.size()) : total;

    std::int64_t cum = 0;
    std::int64_t best = 0;     // numerator of the best R(p), times NS*D
    std::int64_t extreme = 0;  // signed extreme, same units
    for (std::size_t i = 0; i < set.size(); ++i) {
        const std::uint64_t p = set[i];
        const std::int64_t w = unit ? 1 : ranks_[p];
        const auto miss = static_cast<std::int64_t>(p - i);
        const std::int64_t before = cum * misses_ - miss * s.rank_sum;
        cum += w;
        const std::int64_t after = cum * misses_ - miss * s.rank_sum;
        if (after > best) {
            best = after;
            s.peak_rank_sum = cum;
            s.peak_misses = miss;
        }
        if (std::abs(before) > std::abs(extreme)) extreme = before;
        if (std::abs(after) > std::abs(extreme)) extreme = after;
        s.set_hash ^= gene_hash[p];
    }
    s.positive = extreme >= 0;
    return s;
}

bool member_passes(const Scorer& scorer, std::int64_t ns, std::uint64_t hash, const Bound& bound, std::int64_t cum,
                   std::int64_t miss) {
    return PassTest(scorer, ns, hash, bound).passes(cum, miss);
}

namespace {

// Weight sums of a set in its scoring mode: the real weights, or one per
// member when they all weigh 0.
struct Mode {
    bool unit;
    std::int64_t ns;
};

Mode mode_of(const SampleChunks& chunks, std::int64_t ns) {
    if (ns != 0) return {false, ns};
    std::int64_t members = 0;
    for (const auto& c : chunks.chunk_members) members += static_cast<std::int64_t>(c.size());
    return {true, members};
}

}  // namespace

bool accepts_chunked(const Scorer& scorer, const SampleChunks& chunks, std::int64_t ns, std::uint64_t hash,
                     const Bound& bound, Remembered& found) {
    const Mode mode = mode_of(chunks, ns);
    const PassTest test(scorer, mode.ns, hash, bound);
    std::int64_t cum_start = 0;
    std::int64_t before = 0;  // members in earlier chunks
    for (std::size_t c = 0; c < chunks.chunk_members.size(); ++c) {
        const auto& members = chunks.chunk_members[c];
        if (members.empty()) continue;
        const std::int64_t weight = mode.unit ? static_cast<std::int64_t>(members.size()) : chunks.chunk_weight[c];
        // Optimistic value: all of the chunk's weight with the fewest misses.
        const std::int64_t fewest_misses = static_cast<std::int64_t>(members.front()) - before;
        if (test.passes(cum_start + weight, fewest_misses)) {
            std::int64_t cum = cum_start;
            for (std::size_t i = 0; i < members.size(); ++i) {
                cum += mode.unit ? 1 : scorer.weight(members[i]);
                const std::int64_t miss = static_cast<std::int64_t>(members[i]) - before - static_cast<std::int64_t>(i);
                if (test.passes(cum, miss)) {
                    found = {!mode.unit, members[i], cum, miss};
                    return true;
                }
            }
        }
        cum_start += weight;
        before += static_cast<std::int64_t>(members.size());
    }
    return false;
}

bool accepts_plain(const Scorer& scorer, const SampleChunks& chunks, std::int64_t ns, std::uint64_t hash,
                   const Bound& bound) {
    const Mode mode = mode_of(chunks, ns);
    const PassTest test(scorer, mode.ns, hash, bound);
    std::int64_t cum = 0;
    std::int64_t index = 0;
    for (const auto& members : chunks.chunk_members) {
        for (std::uint64_t p : members) {
            cum += mode.unit ? 1 : scorer.weight(p);
            if (test.passes(cum, static_cast<std::int64_t>(p) - index)) {
                return true;
            }
            ++index;
        }
    }
    return false;
}

}  // namespace esruler

using esruler::Bound;
using esruler::SampleChunks;
using esruler::SampleStat;

namespace {

// sum of -1/j for j = from .. to, in increasing j, from 0.
double harmonic_tail(std::uint64_t from, std::uint64_t to) {
    double t = 0.0;
    for (std::uint64_t j = from; j <= to; ++j) t += -1.0 / static_cast<double>(j);
    return t;
}

constexpr double kLn2 = 0.6931471805599453;

// How many of the sorted values lie below x: the insertion point. A chunk
// holds about sqrt(k) members, where a branch-free count beats a binary
// search whose every step is a coin toss for the branch predictor.
std::ptrdiff_t count_below(const std::vector<std::uint64_t>& sorted, std::uint64_t x) {
    std::ptrdiff_t below = 0;
    for (std::uint64_t v : sorted) below += v < x;
    return below;
}

}  // namespace

EsRulerCompat::EsRulerCompat(std::vector<std::int64_t> ranks, std::uint64_t sample_size, std::uint64_t pathway_size,
                             double move_factor)
    : scorer_(std::move(ranks), pathway_size),
      gene_hash_(scorer_.genes(), 0),
      samples_(sample_size),
      sample_size_(sample_size),
      pathway_size_(pathway_size),
      move_factor_(move_factor) {}

void EsRulerCompat::resample_genesets(Mt19937& engine) {
    const std::size_t n_sets = samples_.size();
    struct Entry {
        SampleStat stat;
        std::size_t set;
    };
    std::vector<Entry> entries;
    entries.reserve(n_sets);
    for (std::size_t s = 0; s < n_sets; ++s) entries.push_back({scorer_.stat(samples_[s], gene_hash_), s});
    std::stable_sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
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

    std::vector<std::vector<std::uint64_t>> renewed(n_sets);
    for (std::size_t t = 0; t < cut; ++t) {
        const std::uint64_t j = cut + uid_wrapper(0, n_sets - cut - 1, engine);
        renewed[t] = samples_[entries[j].set];
    }
    for (std::size_t i = cut; i < n_sets; ++i) renewed[i] = samples_[entries[i].set];
    samples_.swap(renewed);
}

std::int64_t EsRulerCompat::perturbate(std::uint64_t pathway_size, SampleChunks& chunks, const Bound& bound,
                                       Mt19937& engine) const {
    const std::uint64_t n = scorer_.genes();
    const auto proposals =
        std::max<std::int64_t>(1, static_cast<std::int64_t>(static_cast<double>(pathway_size) * 0.1));
    const UniformIndex member_index(pathway_size - 1), gene_index(n - 1);
    std::int64_t ns = std::accumulate(chunks.chunk_weight.begin(), chunks.chunk_weight.end(), std::int64_t{0});

    std::int64_t accepted = 0;
    esruler::Remembered& remembered = chunks.remembered;
    for (std::int64_t step = 0; step < proposals; ++step) {
        std::uint64_t r = member_index.draw(engine);
        const std::uint64_t candidate = gene_index.draw(engine);

        std::size_t old_chunk = 0;
        while (r >= chunks.chunk_members[old_chunk].size()) r -= chunks.chunk_members[old_chunk++].size();
        auto& old_members = chunks.chunk_members[old_chunk];
        const std::uint64_t old = old_members[r];
        if (chunks.contains(candidate)) {
            if (candidate == old) ++accepted;
            continue;
        }
        const std::size_t new_chunk = chunk_of_gene_[candidate];
        auto& new_members = chunks.chunk_members[new_chunk];

        old_members.erase(old_members.begin() + static_cast<std::ptrdiff_t>(r));
        const auto slot = new_members.insert(new_members.begin() + count_below(new_members, candidate), candidate);
        const std::int64_t w_old = scorer_.weight(old), w_new = scorer_.weight(candidate);
        chunks.chunk_weight[old_chunk] -= w_old;
        chunks.chunk_weight[new_chunk] += w_new;
        const std::int64_t new_ns = ns - w_old + w_new;
        const std::uint64_t new_hash = chunks.hash ^ gene_hash_[old] ^ gene_hash_[candidate];

        // First try the member that passed last time, moved by the swap.
        bool accept = false;
        esruler::Remembered next = remembered;
        if (remembered.valid && old != remembered.position && ns != 0 && new_ns != 0) {
            if (old < remembered.position) {
                next.cum -= w_old;
                next.miss += 1;
            }
            if (candidate < remembered.position) {
                next.cum += w_new;
                next.miss -= 1;
            }
            accept = esruler::PassTest(scorer_, new_ns, new_hash, bound).passes(next.cum, next.miss);
        }
        if (!accept) accept = esruler::accepts_chunked(scorer_, chunks, new_ns, new_hash, bound, next);

        if (accept) {
            ++accepted;
            ns = new_ns;
            chunks.hash = new_hash;
            chunks.flip(old);
            chunks.flip(candidate);
            remembered = next;
        } else {
            new_members.erase(slot);
            old_members.insert(old_members.begin() + static_cast<std::ptrdiff_t>(r), old);
            chunks.chunk_weight[old_chunk] += w_old;
            chunks.chunk_weight[new_chunk] -= w_new;
        }
    }
    return accepted;
}

void EsRulerCompat::extend(std::uint64_t seed, double es, double eps, const Progress* progress) {
    const auto stop_asked = [progress] { return progress != nullptr && progress->stopped(); };
    const std::uint64_t n = scorer_.genes();
    const std::uint64_t k = pathway_size_;
    const std::size_t n_sets = samples_.size();
    Mt19937 engine(static_cast<std::uint32_t>(seed));
    for (auto& h : gene_hash_) h = engine.next_u32();
    for (auto& set : samples_) {
        set = combination(0, n - 1, k, engine);
        std::sort(set.begin(), set.end());
    }
    resample_genesets(engine);

    chunk_count_ = std::max<std::uint64_t>(1, static_cast<std::uint64_t>(std::sqrt(static_cast<double>(k))));
    const std::size_t m = chunk_count_;
    chunk_bounds_.assign(m, 0);
    chunk_bounds_[m - 1] = n;
    if (levels_.empty()) return;

    const std::int64_t q = esruler::scaled_threshold(es);
    const double log_eps = std::log(eps);
    double log_p = 0.0;
    std::vector<SampleChunks> chunks(n_sets, SampleChunks(m));
    std::vector<std::uint64_t> column(n_sets);
    const std::int64_t target = esruler::move_target(n_sets, move_factor_, k);
    while (true) {
        const esruler::Level& last = levels_.back();
        if (esruler::es_at_least(last.bound, q) || stop_asked()) return;
        log_p += harmonic_tail(last.above.size() + 1, sample_size_);
        if (eps != 0.0 && log_p < log_eps) return;

        // Chunk bounds follow the population's medians, so that chunks hold
        // about k/m members each.
        if (m > 1) {
            std::uint64_t pos = 0;
            for (std::size_t i = 0; i + 1 < m; ++i) {
                pos += (k + i) / m;
                for (std::size_t s = 0; s < n_sets; ++s) column[s] = samples_[s][pos];
                std::nth_element(column.begin(), column.begin() + n_sets / 2, column.end());
                chunk_bounds_[i] = column[n_sets / 2];
            }
        }
        // A gene falls in the first chunk whose bound lies above it.
        chunk_of_gene_.resize(n);
        for (std::size_t p = 0, c = 0; p < n; ++p) {
            while (c < m && chunk_bounds_[c] <= p) ++c;
            chunk_of_gene_[p] = static_cast<std::uint32_t>(std::min(c, m - 1));
        }
        for (std::size_t s = 0; s < n_sets; ++s) {
            chunks[s].reset(m, n);
            for (std::uint64_t p : samples_[s]) {
                const std::size_t c = chunk_of_gene_[p];
                chunks[s].chunk_members[c].push_back(p);
                chunks[s].chunk_weight[c] += scorer_.weight(p);
                chunks[s].flip(p);
                chunks[s].hash ^= gene_hash_[p];
            }
        }

        const Bound bound = last.bound;
        std::int64_t passes = 0;
        if (target >= 1) {
            std::int64_t moves = 0;
            do {
                for (std::size_t s = 0; s < n_sets; ++s) moves += perturbate(k, chunks[s], bound, engine);
                ++passes;
                if (stop_asked()) return;
            } while (moves < target);
            for (std::int64_t extra = 0; extra < passes; ++extra) {
                for (std::size_t s = 0; s < n_sets; ++s) (void)perturbate(k, chunks[s], bound, engine);
            }
        }
        pass_counts_.push_back(passes);
        for (std::size_t s = 0; s < n_sets; ++s) {
            auto& set = samples_[s];
            set.clear();
            for (const auto& members : chunks[s].chunk_members) set.insert(set.end(), members.begin(), members.end());
        }

        const std::size_t before = levels_.size();
        resample_genesets(engine);
        if (levels_.size() == before) return;
    }
}

PvalueEstimate EsRulerCompat::get_pvalue(double es, bool sign) const {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    if (levels_.empty()) return {nan, true, nan};
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
        log2err = std::sqrt(variance) / kLn2;
    }
    if (p > 1.0) p = 1.0;
    return {p, true, log2err};
}

}  // namespace rsvelmo
