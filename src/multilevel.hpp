// The multilevel refinement of p-values: which pathways the permutations
// could not resolve, the groups of equal size that share one pair of
// estimators (top and bottom of the ranking), the seed they share, the
// scheduling of the estimators on the pool and the merge of their p-values
// back into the pathways' rows.
#pragma once

#include <cstdint>
#include <span>

#include "core.hpp"
#include "progress.hpp"
#include "rng_compat.hpp"

namespace rsvelmo {

// A tested pathway's permutation counts on its own side of zero.
struct SideCounts {
    std::uint64_t n_more_extreme = 0;  // permutation scores at least as extreme
    std::uint64_t n_same_sign = 0;     // permutation scores on the pathway's side
};

struct RefinementSettings {
    std::uint64_t nperm = 0;  // permutations behind the counts
    ScoreType score_type = ScoreType::Std;
    std::uint64_t sample_size = 101;
    double eps = 1e-50;
    bool refine_all = false;  // refine every row with a p-value, however well the permutations resolved it
};

// Refines pval and log2err of the rows whose permutation p-value is too
// coarse (rows[i] has the counts counts[i]); continues drawing from the
// analysis's main stream. Returns the work its estimators were given, in
// the units of settle_calls' budget. Throws Interrupted when the progress
// asks to stop.
double refine_multilevel(std::span<EnrichmentResult> rows, std::span<const SideCounts> counts,
                         const RefinementSettings& settings, std::span<const std::int64_t> scaled_weights,
                         RMt19937SeedCompat& main_stream, Progress& progress);

// Settles the calls at a Benjamini-Hochberg cut (a call is padj < cut):
// rows whose log2 p lies within 2.576 of its standard errors of the cut
// get new multilevel estimates, in rounds with 4, 16, ... times the sample
// size, nearest the cut first, until none is left or the estimators would
// exceed `budget` (work as refine_multilevel counts it); a new estimate is
// pooled with the row's earlier one. Each round draws its seed from the
// main stream.
void settle_calls(std::span<EnrichmentResult> rows, std::span<const SideCounts> counts,
                  const RefinementSettings& settings, double cut, double budget,
                  std::span<const std::int64_t> scaled_weights, RMt19937SeedCompat& main_stream, Progress& progress);

}  // namespace rsvelmo
