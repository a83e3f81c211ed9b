#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <utility>

#include "phenotype_null.hpp"
#include "pool.hpp"

namespace rsvelmo::phenotype {

namespace {

// The gene sets both ways: members per set (for the weight sums) and sets
// per row (for the pass in ranked order), built once for all permutations.
struct Layout {
    std::vector<std::uint32_t> member_start, members;
    std::vector<std::uint32_t> incidence_start, incidence;
    std::vector<double> outside;  // N - size

    Layout(const std::vector<std::vector<std::uint32_t>>& sets, std::size_t genes)
        : member_start(sets.size() + 1, 0), incidence_start(genes + 1, 0), outside(sets.size()) {
        for (std::size_t s = 0; s < sets.size(); ++s) {
            member_start[s + 1] = member_start[s] + static_cast<std::uint32_t>(sets[s].size());
            members.insert(members.end(), sets[s].begin(), sets[s].end());
            for (std::uint32_t row : sets[s]) ++incidence_start[row + 1];
            outside[s] = static_cast<double>(genes - sets[s].size());
        }
        for (std::size_t g = 0; g < genes; ++g) incidence_start[g + 1] += incidence_start[g];
        incidence.resize(members.size());
        std::vector<std::uint32_t> next(incidence_start.begin(), incidence_start.end() - 1);
        for (std::size_t s = 0; s < sets.size(); ++s) {
            for (std::uint32_t row : sets[s]) incidence[next[row]++] = static_cast<std::uint32_t>(s);
        }
    }
};

// One set's running sum during the pass, times total * (N - size): just
// before the hit at rank r it is wsum * (N - size) - (r - hits) * total,
// just after it the same with this hit's weight in wsum; the extremes of a
// running sum that only falls between hits are at these points. Scaled so,
// integer weights (weight 0, or a flat set) give exact integers, so sums that
// are equal are equal doubles and the tie rule holds exactly; one division
// at the end gives the ES.
struct alignas(64) Running {  // one cache line: the pass touches one line per update
    double wsum;
    double total;    // the set's weight sum, or its size when that sum is 0
    double unit;     // 1 when the weight sum is 0 (every hit then weighs 1), else 0
    double outside;  // N - size
    double top;
    double bottom;
    std::uint32_t hits;
};

// How many ranks ahead the pass fetches a gene's sets: about one memory
// latency's worth of updates (each gene is in some 35 of W1's sets).
constexpr std::uint32_t kAhead = 8;

// The ranking's sort: LSD radix on the metric's bits, 11 bits a pass (six
// passes cover 64 bits; 2,048 counters stay in the L1 cache). Stable, so
// equal metrics keep row order, as the definition has them.
constexpr int kDigitBits = 11;
constexpr int kPasses = 6;
constexpr std::size_t kBuckets = std::size_t{1} << kDigitBits;

// A key whose unsigned order is the metric's descending order: the IEEE
// bits made monotonic (negative numbers flipped), then complemented. -0
// becomes +0 first, as the comparison == has them equal.
std::uint64_t descending_key(double metric) {
    metric += 0.0;  // -0 + 0 is +0
    std::uint64_t bits;
    std::memcpy(&bits, &metric, sizeof bits);
    bits = (bits >> 63) ? ~bits : bits | (std::uint64_t{1} << 63);
    return ~bits;
}

struct Key {
    std::uint64_t key;
    std::uint32_t row;
};

// The scratch of one worker slot: everything a permutation writes, sized
// once, so a permutation allocates nothing.
class Walker {
public:
    Walker(const NullInput& input, const Layout& layout)
        : in_(input),
          layout_(layout),
          metric_(input.x.genes),
          weight_(input.x.genes),
          keys_(input.x.genes),
          spare_(input.x.genes),
          counts_(kPasses * kBuckets),
          order_(input.x.genes),
          state_(input.sets.size()) {
        classes_.a.reserve(input.x.samples);
        classes_.b.reserve(input.x.samples);
    }

    // The metric, the ranking and every set's ES under `labels`; with
    // kTrack also the ranks of each set's peak and trough.
    template <bool kTrack>
    void score(std::span<const std::uint8_t> labels, double* es) {
        classes_.assign(labels);
        metric_into(in_.columns, classes_, in_.metric, metric_.data());
        rank();
        walk<kTrack>(es);
    }

    const std::vector<double>& metric() const { return metric_; }
    const std::vector<std::uint32_t>& order() const { return order_; }
    std::uint32_t top_rank(std::size_t s) const { return top_rank_[s]; }
    std::uint32_t bottom_rank(std::size_t s) const { return bottom_rank_[s]; }

private:
    void rank() {
        const std::size_t n = metric_.size();
        if (n == 0) return;
        std::fill(counts_.begin(), counts_.end(), 0);
        for (std::size_t g = 0; g < n; ++g) {
            const std::uint64_t key = descending_key(metric_[g]);
            keys_[g] = {key, static_cast<std::uint32_t>(g)};
            for (int p = 0; p < kPasses; ++p) ++counts_[p * kBuckets + ((key >> (p * kDigitBits)) & (kBuckets - 1))];
        }
        for (int p = 0; p < kPasses; ++p) {
            std::uint32_t* count = counts_.data() + p * kBuckets;
            const std::uint64_t digit0 = (keys_[0].key >> (p * kDigitBits)) & (kBuckets - 1);
            if (count[digit0] == n) continue;  // every key has this digit: the pass would move nothing
            std::uint32_t next = 0;
            for (std::size_t d = 0; d < kBuckets; ++d) next += std::exchange(count[d], next);
            for (std::size_t i = 0; i < n; ++i) {
                const std::uint64_t digit = (keys_[i].key >> (p * kDigitBits)) & (kBuckets - 1);
                spare_[count[digit]++] = keys_[i];
            }
            keys_.swap(spare_);
        }
        for (std::size_t r = 0; r < n; ++r) order_[r] = keys_[r].row;
        for (std::size_t g = 0; g < n; ++g) {
            const double m = std::fabs(metric_[g]);
            weight_[g] = in_.weight == 1.0 ? m : std::pow(m, in_.weight);  // pow(m, 1) is m: a shortcut only
        }
    }

    template <bool kTrack>
    void walk(double* es) {
        const std::size_t sets = state_.size();
        for (std::size_t s = 0; s < sets; ++s) {
            double sum = 0.0;
            for (std::uint32_t i = layout_.member_start[s]; i < layout_.member_start[s + 1]; ++i) {
                sum += weight_[layout_.members[i]];
            }
            const bool flat = sum == 0.0;
            const double size = static_cast<double>(layout_.member_start[s + 1] - layout_.member_start[s]);
            state_[s] = {0.0, flat ? size : sum, flat ? 1.0 : 0.0, layout_.outside[s], 0.0, 0.0, 0};
        }
        if constexpr (kTrack) {
            top_rank_.assign(sets, 0);
            bottom_rank_.assign(sets, 0);
        }
        const std::uint32_t* start = layout_.incidence_start.data();
        const std::uint32_t* incidence = layout_.incidence.data();
        Running* state = state_.data();
        const std::uint32_t n = static_cast<std::uint32_t>(order_.size());
        for (std::uint32_t r = 0; r < n; ++r) {
            const std::uint32_t row = order_[r];
            const double w = weight_[row];
            // The genes come in a new order each permutation: fetch the sets
            // of a gene a few ranks ahead while this one's are updated.
            if (r + kAhead < n) __builtin_prefetch(incidence + start[order_[r + kAhead]]);
            for (std::uint32_t i = start[row]; i < start[row + 1]; ++i) {
                const std::uint32_t s = incidence[i];
                Running& st = state[s];
                const double fallen = static_cast<double>(r - st.hits) * st.total;
                const double before = st.wsum * st.outside - fallen;
                st.wsum += w + st.unit;  // w + 0 is w: exact
                const double after = st.wsum * st.outside - fallen;
                ++st.hits;
                if constexpr (kTrack) {
                    if (after > st.top) {
                        st.top = after;
                        top_rank_[s] = r;
                    }
                    if (before < st.bottom) {
                        st.bottom = before;
                        bottom_rank_[s] = r;
                    }
                } else {
                    st.top = std::max(st.top, after);
                    st.bottom = std::min(st.bottom, before);
                }
            }
        }
        for (std::size_t s = 0; s < sets; ++s) {
            const double extreme = state[s].top >= -state[s].bottom ? state[s].top : state[s].bottom;
            es[s] = extreme / (state[s].total * state[s].outside);
        }
    }

    const NullInput& in_;
    const Layout& layout_;
    ClassIndex classes_;
    std::vector<double> metric_, weight_;
    std::vector<Key> keys_, spare_;
    std::vector<std::uint32_t> counts_;
    std::vector<std::uint32_t> order_;
    std::vector<Running> state_;
    std::vector<std::uint32_t> top_rank_, bottom_rank_;  // kTrack only
};

// Which side of zero a score lies on (0: >= 0, 1: < 0) and its distance
// from zero, so that both signs are compared as "at least as far".
int side(double v) { return v >= 0.0 ? 0 : 1; }
double reach(double v) { return std::fabs(v); }

// Null NES (as reach) at least as far as a threshold, for the sorted
// thresholds of one side: a value v reaching t_i has at least i + 1
// thresholds <= v, so counting values by that number answers every threshold.
std::size_t thresholds_reached(const std::vector<double>& sorted, double v) {
    return static_cast<std::size_t>(std::upper_bound(sorted.begin(), sorted.end(), v) - sorted.begin());
}

// Fixed blocks of permutations for the normalisation pass: each block keeps
// its own counts, summed after the join, so the counts never depend on the
// threads; 64 blocks keep two threads busy and the counts small.
constexpr std::size_t kBlocks = 64;
// Gene sets per task of the per-set pass.
constexpr std::size_t kSetsPerTask = 16;

}  // namespace

Observed observe(const NullInput& input, std::span<const std::uint8_t> labels) {
    const Layout layout(input.sets, input.x.genes);
    Walker walker(input, layout);
    Observed out;
    out.es.resize(input.sets.size());
    walker.score<true>(labels, out.es.data());
    out.metric = walker.metric();
    out.order = walker.order();
    std::vector<std::uint32_t> rank_of(out.order.size());
    for (std::uint32_t r = 0; r < out.order.size(); ++r) rank_of[out.order[r]] = r;
    out.leading_edge.resize(input.sets.size());
    for (std::size_t s = 0; s < input.sets.size(); ++s) {
        const bool up = out.es[s] >= 0.0;
        std::vector<std::uint32_t> ranks;
        for (std::uint32_t row : input.sets[s]) {
            const std::uint32_t r = rank_of[row];
            if (up ? r <= walker.top_rank(s) : r >= walker.bottom_rank(s)) ranks.push_back(r);
        }
        std::sort(ranks.begin(), ranks.end());
        for (std::uint32_t& r : ranks) r = out.order[r];
        out.leading_edge[s] = std::move(ranks);
    }
    return out;
}

std::vector<double> null_es(const NullInput& input) {
    const std::size_t sets = input.sets.size();
    const std::size_t samples = input.x.samples;
    std::vector<double> null(input.permutations * sets);
    const Layout layout(input.sets, input.x.genes);
    std::vector<Walker> walkers;
    const std::size_t slots = pool::thread_count();
    walkers.reserve(slots);
    for (std::size_t i = 0; i < slots; ++i) walkers.emplace_back(input, layout);
    pool::run(input.permutations, [&](std::size_t k, std::size_t slot) {
        const std::span<const std::uint8_t> labels(input.assignments.data() + k * samples, samples);
        walkers[slot].score<false>(labels, null.data() + k * sets);
    });
    return null;
}

void summarise(std::vector<double>& null, std::uint64_t permutations, bool exact, std::vector<SetResult>& sets) {
    const std::size_t count = sets.size();
    const std::size_t m = permutations;
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const auto share = [exact](double hits, double total) { return exact ? hits / total : (hits + 1) / (total + 1); };

    // Per set: the mean reach of the null on each side, and the nominal p.
    std::vector<std::array<double, 2>> scale(count);
    pool::run((count + kSetsPerTask - 1) / kSetsPerTask, [&](std::size_t task, std::size_t) {
        const std::size_t first = task * kSetsPerTask;
        const std::size_t width = std::min(count, first + kSetsPerTask) - first;
        std::array<std::array<double, 2>, kSetsPerTask> sum{};
        std::array<std::array<std::uint64_t, 2>, kSetsPerTask> n{};
        std::array<std::uint64_t, kSetsPerTask> beyond{};
        // Permutations outside, the task's sets inside: the null is read
        // row by row; each set's sums still run in permutation order.
        for (std::size_t k = 0; k < m; ++k) {
            const double* row = null.data() + k * count + first;
            for (std::size_t j = 0; j < width; ++j) {
                const int d = side(row[j]);
                sum[j][d] += reach(row[j]);
                ++n[j][d];
                beyond[j] += d == side(sets[first + j].es) && reach(row[j]) >= reach(sets[first + j].es);
            }
        }
        for (std::size_t j = 0; j < width; ++j) {
            SetResult& r = sets[first + j];
            const int own = side(r.es);
            for (int d = 0; d < 2; ++d) scale[first + j][d] = n[j][d] ? sum[j][d] / static_cast<double>(n[j][d]) : nan;
            r.pval = share(static_cast<double>(beyond[j]), static_cast<double>(n[j][own]));
            r.nes = r.es / scale[first + j][own];  // NaN without a same-sign null
        }
    });

    // The observed NES of each side, as sorted reaches.
    std::array<std::vector<double>, 2> observed;
    for (const SetResult& r : sets) {
        if (!std::isnan(r.nes)) observed[side(r.es)].push_back(reach(r.nes));
    }
    for (auto& o : observed) std::sort(o.begin(), o.end());

    // Per block of permutations: normalise the null, note each permutation's
    // farthest null NES on each side, count the null NES per threshold reached.
    const std::size_t blocks = std::min<std::size_t>(kBlocks, m);
    std::vector<std::array<double, 2>> farthest(m, {-1.0, -1.0});  // -1: no null NES on that side
    std::vector<std::array<std::vector<std::uint64_t>, 2>> tally(blocks);
    pool::run(blocks, [&](std::size_t b, std::size_t) {
        for (int d = 0; d < 2; ++d) tally[b][d].assign(observed[d].size() + 1, 0);
        for (std::size_t k = b * m / blocks; k < (b + 1) * m / blocks; ++k) {
            double* row = null.data() + k * count;
            for (std::size_t s = 0; s < count; ++s) {
                const int d = side(row[s]);
                row[s] /= scale[s][d];  // the null NES: the same sign, never NaN (row[s] itself is on side d)
                const double v = reach(row[s]);
                farthest[k][d] = std::max(farthest[k][d], v);
                ++tally[b][d][thresholds_reached(observed[d], v)];
            }
        }
    });

    for (int d = 0; d < 2; ++d) {
        // reaching[i]: null NES reaching observed[d][i - 1], i.e. with at least i thresholds below.
        std::vector<std::uint64_t> reaching(observed[d].size() + 1, 0);
        for (const auto& t : tally) {
            for (std::size_t i = 0; i < reaching.size(); ++i) reaching[i] += t[d][i];
        }
        for (std::size_t i = reaching.size() - 1; i > 0; --i) reaching[i - 1] += reaching[i];
        std::vector<double> maxima(m);
        for (std::size_t k = 0; k < m; ++k) maxima[k] = farthest[k][d];
        std::sort(maxima.begin(), maxima.end());
        const double total_null = static_cast<double>(reaching[0]);
        const double total_observed = static_cast<double>(observed[d].size());
        for (SetResult& r : sets) {
            if (side(r.es) != d) continue;
            if (std::isnan(r.nes)) {
                r.fdr = r.fwer = nan;
                continue;
            }
            const double v = reach(r.nes);
            const auto first = std::lower_bound(observed[d].begin(), observed[d].end(), v);
            const std::size_t i = static_cast<std::size_t>(first - observed[d].begin());
            const double null_share = share(static_cast<double>(reaching[i + 1]), total_null);
            const double observed_share = static_cast<double>(observed[d].size() - i) / total_observed;
            r.fdr = std::min(1.0, null_share / observed_share);
            const auto below = std::lower_bound(maxima.begin(), maxima.end(), v) - maxima.begin();
            r.fwer = share(static_cast<double>(m - static_cast<std::size_t>(below)), static_cast<double>(m));
        }
    }
}

}  // namespace rsvelmo::phenotype
