#include "orvane_compat.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <numeric>

#include "pool.hpp"
#include "rng_compat.hpp"

namespace rsvelmo {

namespace {

// Permutations scored between two meetings of the threads; bounds the
// buffer of prefix-score sequences held at once. Each meeting costs the
// workers a wake-up, so chunks are not smaller than this.
constexpr std::size_t kParallelChunk = 256;
// The first chunk is drawn before any task can start: small, it is drawn
// quickly, and scoring it covers the drawing of the next one.
constexpr std::size_t kFirstChunk = 32;
// Smallest weight a sampled gene can have, before the division by 1024.
constexpr double kInitialFloor = 1e-5;
// 1/1024: the floor weight lies well below every non-zero sampled weight.
constexpr double kFloorFactor = 0.0009765625;
// Below this a rise in weight counts as no rise when building block hulls.
constexpr double kFlatTolerance = 1e-13;
constexpr std::uint64_t kOffChain = ~std::uint64_t{0};
// Sequential permutations between two progress reports.
constexpr std::uint64_t kProgressEvery = 16;

// Prefix sums over positions 0..k in blocks of K cells: an update touches at
// most K cells and k/K block totals, a query reads one cell and one total.
template <class T>
class BlockPrefixTree {
public:
    void reset(std::size_t k, std::size_t block, unsigned log2_block) {
        block_ = block;
        shift_ = log2_block;
        last_total_ = k >> shift_;
        cells_.assign(block * block, T{});
        totals_.assign(last_total_ + 1, T{});
    }
    void add(std::size_t p, T d) {
        const std::size_t end = p | (block_ - 1);
        for (std::size_t c = p; c <= end; ++c) cells_[c] += d;
        for (std::size_t b = (end + 1) >> shift_; b <= last_total_; ++b) totals_[b] += d;
    }
    T value(std::size_t r) const { return cells_[r] + totals_[r >> shift_]; }

private:
    std::size_t block_ = 1;
    unsigned shift_ = 0;
    std::size_t last_total_ = 0;
    std::vector<T> cells_;
    std::vector<T> totals_;
};

}  // namespace

// One prefix pass: the sample's genes are added in draw order; after each,
// the score of the prefix drawn so far is the largest value of
// g * (weight up to a point) - (misses up to it) over the points of the
// walk, where g is the misses left per unit of weight. The points lie on
// block-wise upper hulls, so each query walks only the hulls' tops.
struct PrefixScorer::Impl {
    BlockPrefixTree<std::int64_t> misses;
    BlockPrefixTree<double> weights;
    std::vector<std::uint64_t> prev, next;
    std::vector<std::uint64_t> block_first, block_last, block_top;
    std::vector<std::size_t> rank;
    std::vector<double> sample_weight;
    std::vector<std::size_t> order;
    std::vector<double> forward, backward;
    std::size_t bs = 1;      // points per hull block
    std::size_t blocks = 0;  // hull blocks
    std::size_t last = 0;    // the last point of the walk

    void stats1(std::span<const double> scores, std::span<const std::uint64_t> sample,
                std::span<const std::size_t> sorted, bool reversed, double gsea_param, std::vector<double>& out);

private:
    void build_trees(std::size_t n, std::span<const std::uint64_t> sample, std::span<const std::size_t> sorted,
                     bool reversed);
    void build_chains(std::size_t k);
    void weigh_sample(std::span<const double> scores, std::span<const std::uint64_t> sample, double gsea_param);
    void rebuild_hull(std::size_t r);
    double query(double g);

    // Point 0 is the start of the walk, point t the walk just after the
    // t-th (mirrored) sampled position.
    double point_x(std::size_t t) const { return t == 0 ? 0.0 : static_cast<double>(misses.value(t - 1)); }
    double point_y(std::size_t t) const { return t == 0 ? 0.0 : weights.value(t - 1); }
};

// Prefix trees over the sorted sample: misses.value(i) is the (mirrored)
// position of the i-th sorted sample, misses.value(k) is n; each added gene
// later removes itself from the count. Weights start at zero.
void PrefixScorer::Impl::build_trees(std::size_t n, std::span<const std::uint64_t> sample,
                                     std::span<const std::size_t> sorted, bool reversed) {
    const std::size_t k = sample.size();
    // K: the smallest power of two >= 2 whose square exceeds k.
    std::size_t block = 2;
    unsigned log2_block = 1;
    while (block * block <= k) {
        block *= 2;
        ++log2_block;
    }
    misses.reset(k, block, log2_block);
    weights.reset(k, block, log2_block);

    rank.resize(k);
    for (std::size_t i = 0; i < k; ++i) rank[sorted[i]] = i;
    if (!reversed) {
        std::int64_t prev_pos = -1;
        for (std::size_t i = 0; i < k; ++i) {
            const auto q = static_cast<std::int64_t>(sample[sorted[i]]);
            misses.add(i, (q - 1) - prev_pos);
            prev_pos = q - 1;
        }
        misses.add(k, static_cast<std::int64_t>(n) - static_cast<std::int64_t>(sample[sorted[k - 1]]));
    } else {
        for (auto& r : rank) r = k - 1 - r;
        auto prev_pos = static_cast<std::int64_t>(n);
        for (std::size_t i = 0; i < k; ++i) {
            const auto v = static_cast<std::int64_t>(sample[sorted[k - 1 - i]]) - 1;
            misses.add(i, prev_pos - v);
            prev_pos = v;
        }
        misses.add(k, prev_pos);
    }
}

// Chains blocks of bs consecutive points 0..last, each holding the upper
// hull of its points (at first every point, in order).
void PrefixScorer::Impl::build_chains(std::size_t k) {
    bs = static_cast<std::size_t>(std::sqrt(static_cast<double>(k + 1)));
    blocks = last / bs + 1;
    prev.resize(last + 1);
    next.resize(last + 1);
    block_first.resize(blocks);
    block_last.resize(blocks);
    block_top.resize(blocks);
    for (std::size_t b = 0; b < blocks; ++b) {
        const std::size_t start = b * bs;
        const std::size_t end = std::min(start + bs - 1, last);
        for (std::size_t t = start + 1; t <= end; ++t) {
            prev[t] = t - 1;
            next[t - 1] = t;
        }
        prev[start] = start;
        next[end] = end;
        block_first[b] = start;
        block_last[b] = end;
        block_top[b] = end;
    }
}

// The weight of each sampled gene: |score|^gsea_param, with zero (and NaN)
// scores raised to a floor well below every non-zero sampled weight.
void PrefixScorer::Impl::weigh_sample(std::span<const double> scores, std::span<const std::uint64_t> sample,
                                      double gsea_param) {
    double floor_weight = kInitialFloor;
    for (std::uint64_t s : sample) {
        const double score = scores[s - 1];
        if (score != 0.0 && !std::isnan(score)) floor_weight = std::min(floor_weight, std::fabs(score));
    }
    floor_weight *= kFloorFactor;
    sample_weight.resize(sample.size());
    for (std::size_t j = 0; j < sample.size(); ++j) {
        // fmax takes the floor for a NaN score.
        sample_weight[j] = std::pow(std::fmax(std::fabs(scores[sample[j] - 1]), floor_weight), gsea_param);
    }
}

// Points r+1 onward moved together; rebuilds the hull of r+1's block from
// there until it meets a point that is still on the chain.
void PrefixScorer::Impl::rebuild_hull(std::size_t r) {
    const std::size_t b = (r + 1) / bs;
    std::size_t cur = std::max<std::size_t>(block_first[b], r);
    for (std::size_t u = r + 1; u <= block_last[b]; ++u) {
        const double xu = point_x(u), yu = point_y(u);
        while (prev[cur] != cur) {
            const std::size_t p = prev[cur];
            const double xp = point_x(p), yp = point_y(p);
            if (yu - yp < kFlatTolerance) break;
            const double xc = point_x(cur), yc = point_y(cur);
            const double cross = (yu - yc) * (xc - xp) - (xu - xc) * (yc - yp);
            if (cross <= 0.0) break;
            next[cur] = kOffChain;
            cur = p;
        }
        prev[u] = cur;
        next[cur] = u;
        cur = u;
        if (next[u] != kOffChain) break;
    }
    block_top[b] = std::max<std::uint64_t>(block_top[b], cur);
}

// Largest g*y - x over all hulls (at least 0, the start of the walk); g only
// falls from one gene to the next, so each block's pointer only moves
// toward its start.
double PrefixScorer::Impl::query(double g) {
    double best = 0.0;
    for (std::size_t bb = 0; bb < blocks; ++bb) {
        std::size_t t = block_top[bb];
        double v = t == 0 ? 0.0 : g * point_y(t) - point_x(t);
        while (true) {
            const std::size_t p = prev[t];
            const double vp = p == 0 ? 0.0 : g * point_y(p) - point_x(p);
            if (!(vp > v)) break;
            t = p;
            v = vp;
        }
        block_top[bb] = t;
        best = std::max(best, v);
    }
    return best;
}

void PrefixScorer::Impl::stats1(std::span<const double> scores, std::span<const std::uint64_t> sample,
                                std::span<const std::size_t> sorted, bool reversed, double gsea_param,
                                std::vector<double>& out) {
    const std::size_t n = scores.size();
    const std::size_t k = sample.size();
    out.assign(k, 0.0);
    if (k == 0) return;

    build_trees(n, sample, sorted, reversed);
    // Point k+1 is the end of the list. When the sample holds the last
    // (mirrored) position, point k and the end point coincide for the whole
    // pass; a hull through two equal points stalls the query walk, and the
    // end point's value is always 0 (the floor of every score), so it is
    // left out.
    const std::uint64_t largest = reversed ? n + 1 - sample[sorted[0]] : sample[sorted[k - 1]];
    last = largest == n ? k : k + 1;
    build_chains(k);
    weigh_sample(scores, sample, gsea_param);

    double total_weight = 0.0;
    for (std::size_t j = 0; j < k; ++j) {
        const std::size_t r = rank[j];
        misses.add(r, -1);
        weights.add(r, sample_weight[j]);
        total_weight += sample_weight[j];
        rebuild_hull(r);
        const double misses_left = static_cast<double>(n - j - 1);
        out[j] = query(misses_left / total_weight) / misses_left;
    }
}

PrefixScorer::PrefixScorer() : impl_(std::make_unique<Impl>()) {}
PrefixScorer::~PrefixScorer() = default;
PrefixScorer::PrefixScorer(PrefixScorer&&) noexcept = default;
PrefixScorer& PrefixScorer::operator=(PrefixScorer&&) noexcept = default;

void PrefixScorer::score(std::span<const double> scores, std::span<const std::uint64_t> sample, ScoreType score_type,
                         double gsea_param, std::vector<double>& out) {
    Impl& w = *impl_;
    const std::size_t k = sample.size();
    w.order.resize(k);
    std::iota(w.order.begin(), w.order.end(), std::size_t{0});
    std::stable_sort(w.order.begin(), w.order.end(),
                     [&](std::size_t a, std::size_t b) { return sample[a] < sample[b]; });
    switch (score_type) {
        case ScoreType::Pos: w.stats1(scores, sample, w.order, false, gsea_param, out); return;
        case ScoreType::Neg:
            w.stats1(scores, sample, w.order, true, gsea_param, out);
            for (double& e : out) e = -e;
            return;
        case ScoreType::Std:
            w.stats1(scores, sample, w.order, false, gsea_param, w.forward);
            w.stats1(scores, sample, w.order, true, gsea_param, w.backward);
            out.resize(k);
            for (std::size_t i = 0; i < k; ++i) {
                const double a = w.forward[i], b = w.backward[i];
                out[i] = a > b ? a : a == b ? 0.0 : -b;
            }
            return;
    }
}

namespace {

// The random sets of a batch: one per permutation, of the largest pathway
// size, drawn from one engine in permutation order.
class BatchSamples {
public:
    BatchSamples(std::size_t genes, std::span<const std::uint64_t> sizes, std::uint64_t seed)
        : genes_(genes),
          largest_(sizes.empty() ? 0 : *std::max_element(sizes.begin(), sizes.end())),
          engine_(static_cast<std::uint32_t>(seed)) {}

    // Whether there is anything to count.
    bool any(std::uint64_t nperm) const { return nperm > 0 && largest_ > 0; }
    void draw(std::vector<std::uint64_t>& sample) { sampler_.draw(1, genes_, largest_, engine_, sample); }

private:
    std::size_t genes_;
    std::uint64_t largest_;
    Mt19937 engine_;
    CombinationSampler sampler_;
};

}  // namespace

std::vector<PathwayAcc> calc_gsea_stat_cumulative_batch_f64(std::span<const double> scores,
                                                            std::span<const double> observed,
                                                            std::span<const std::uint64_t> sizes, std::uint64_t nperm,
                                                            std::uint64_t seed, ScoreType score_type, double gsea_param,
                                                            Progress* progress) {
    const std::size_t pathways = sizes.size();
    std::vector<PathwayAcc> accs(pathways);
    BatchSamples samples(scores.size(), sizes, seed);
    if (!samples.any(nperm)) return accs;

    PrefixScorer scorer;
    std::vector<std::uint64_t> sample;
    std::vector<double> es;
    for (std::uint64_t perm = 0; perm < nperm; ++perm) {
        samples.draw(sample);
        scorer.score(scores, sample, score_type, gsea_param, es);
        for (std::size_t i = 0; i < pathways; ++i) accs[i].add(es[sizes[i] - 1], observed[i]);
        if (progress != nullptr && (perm + 1) % kProgressEvery == 0) {
            progress->advance(kProgressEvery);
            progress->poll();
            if (progress->stopped()) break;
        }
    }
    return accs;
}

std::vector<PathwayAcc> calc_gsea_stat_cumulative_batch_f64_thread_invariant_parallel(
    std::span<const double> scores, std::span<const double> observed, std::span<const std::uint64_t> sizes,
    std::uint64_t nperm, std::uint64_t seed, ScoreType score_type, double gsea_param, Progress* progress) {
    const std::size_t pathways = sizes.size();
    std::vector<PathwayAcc> accs(pathways);
    BatchSamples samples(scores.size(), sizes, seed);
    if (!samples.any(nperm)) return accs;

    // Permutations go in chunks: each permutation's sample is scored into its
    // own buffer (a task each, with the scorer of the worker's slot), then
    // added to the pathways. The chunks are pipelined over two sets of
    // buffers: while one chunk is scored, one task draws the next
    // chunk's samples (the one engine, in permutation order) and others add
    // the previous chunk's scores to the pathways, in contiguous slices,
    // several per thread; within a pathway the permutations are added in
    // order, as sequentially.
    struct Chunk {
        std::vector<std::vector<std::uint64_t>> samples = std::vector<std::vector<std::uint64_t>>(kParallelChunk);
        std::vector<std::vector<double>> buffer = std::vector<std::vector<double>>(kParallelChunk);
        std::size_t used = 0;
    };
    std::array<Chunk, 2> chunks;
    std::vector<PrefixScorer> scorers(pool::thread_count());
    const std::size_t slices = std::min<std::size_t>(pathways, pool::thread_count() * 8);
    const auto draw = [&](std::vector<std::vector<std::uint64_t>>& drawn, std::size_t count) {
        for (std::size_t c = 0; c < count; ++c) samples.draw(drawn[c]);
    };
    const auto add_slice = [&](const Chunk& chunk, std::size_t slice) {
        const std::size_t begin = pathways * slice / slices;
        const std::size_t end = pathways * (slice + 1) / slices;
        for (std::size_t i = begin; i < end; ++i) {
            PathwayAcc& acc = accs[i];
            const std::size_t index = sizes[i] - 1;
            for (std::size_t c = 0; c < chunk.used; ++c) acc.add(chunk.buffer[c][index], observed[i]);
        }
    };
    const auto poll = [progress] {
        if (progress != nullptr) progress->poll();
    };

    std::size_t now = 0;
    chunks[now].used = static_cast<std::size_t>(std::min<std::uint64_t>(kFirstChunk, nperm));
    draw(chunks[now].samples, chunks[now].used);
    std::uint64_t done = 0;
    bool previous = false;  // the other chunk holds scores still to be added
    while (true) {
        Chunk& current = chunks[now];
        Chunk& other = chunks[1 - now];
        const std::uint64_t after = done + current.used;
        const auto next = static_cast<std::size_t>(std::min<std::uint64_t>(kParallelChunk, nperm - after));
        pool::run({{next > 0 ? 1u : 0u, [&](std::size_t, std::size_t) { draw(other.samples, next); }},
                   {current.used,
                    [&](std::size_t c, std::size_t slot) {
                        scorers[slot].score(scores, current.samples[c], score_type, gsea_param, current.buffer[c]);
                    }},
                   {previous ? slices : 0, [&](std::size_t slice, std::size_t) { add_slice(other, slice); }}},
                  poll);
        done = after;
        if (progress != nullptr) {
            progress->advance(current.used);
            if (progress->stopped()) break;
        }
        if (next == 0) break;
        other.used = next;
        previous = true;
        now = 1 - now;
    }
    pool::run(
        slices, [&](std::size_t slice, std::size_t) { add_slice(chunks[now], slice); }, poll);
    return accs;
}

}  // namespace rsvelmo
