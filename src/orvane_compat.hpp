// Cumulative statistics of the permutation stage (the historical name keeps
// its arithmetic fixed bit for bit): per permutation, one random gene set of
// the largest pathway size is drawn and the enrichment score of every prefix
// of it is computed in one pass (block prefix trees of misses and weights,
// upper convex hulls per block, a query per added gene); the per-pathway
// counts of random scores against observed ones follow.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "core.hpp"
#include "progress.hpp"

namespace rsvelmo {

// One pathway's counts of random scores against its observed score.
struct PathwayAcc {
    std::uint64_t le_count = 0;
    std::uint64_t ge_count = 0;
    std::uint64_t le_zero_count = 0;
    std::uint64_t ge_zero_count = 0;
    double le_zero_sum = 0.0;
    double ge_zero_sum = 0.0;

    // Counts one random score e against the observed score.
    void add(double e, double observed) {
        if (e <= observed) ++le_count;
        if (e >= observed) ++ge_count;
        if (e <= 0.0) {
            ++le_zero_count;
            le_zero_sum += e;
        }
        if (e >= 0.0) {
            ++ge_zero_count;
            ge_zero_sum += e;
        }
    }
};

// Sequential batch: the counts of pathway i (of size sizes[i] >= 1); scores
// has more genes than the largest size. With `progress`, the permutations
// are counted there and the batch returns early (with partial counts) when
// it asks to stop; the sequential form polls it, so it must run on the
// thread that owns the progress.
std::vector<PathwayAcc> calc_gsea_stat_cumulative_batch_f64(std::span<const double> scores,
                                                            std::span<const double> observed,
                                                            std::span<const std::uint64_t> sizes, std::uint64_t nperm,
                                                            std::uint64_t seed, ScoreType score_type, double gsea_param,
                                                            Progress* progress = nullptr);

// Same counts, bit for bit, with the prefix passes and the per-pathway
// accumulation on the worker pool.
std::vector<PathwayAcc> calc_gsea_stat_cumulative_batch_f64_thread_invariant_parallel(
    std::span<const double> scores, std::span<const double> observed, std::span<const std::uint64_t> sizes,
    std::uint64_t nperm, std::uint64_t seed, ScoreType score_type, double gsea_param, Progress* progress = nullptr);

// Reusable working memory of the prefix scores, for callers that score many
// samples: nothing is allocated per sample once the buffers have grown.
class PrefixScorer {
public:
    PrefixScorer();
    ~PrefixScorer();
    PrefixScorer(PrefixScorer&&) noexcept;
    PrefixScorer& operator=(PrefixScorer&&) noexcept;

    // Writes the score of every prefix of `sample` (distinct 1-based
    // positions, in draw order) into out.
    void score(std::span<const double> scores, std::span<const std::uint64_t> sample, ScoreType score_type,
               double gsea_param, std::vector<double>& out);

private:
    struct Impl;  // the trees, chains and buffers of one prefix pass
    std::unique_ptr<Impl> impl_;
};

}  // namespace rsvelmo
