// The multilevel refinement of p-values: which pathways the permutations
// could not resolve, the groups of equal size that share one pair of
// estimators (top and bottom of the ranking), the seed they share, the
// scheduling of the estimators on the pool and the merge of their p-values
// back into the pathways' records.
#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <vector>

#include "core.hpp"
#include "progress.hpp"
#include "rng_compat.hpp"

namespace rsvelmo {

struct MultilevelPvalue {
    double pvalue;
    bool flag;
    std::optional<double> log2err;  // absent when not finite
};

// One pair of estimators (top and bottom of the ranking) serves every score
// of the group; results follow the order of `scores`.
std::vector<MultilevelPvalue> run_multilevel_gsea_group_impl(double eps, std::uint64_t n,
                                                             std::span<const std::int64_t> weights,
                                                             std::uint64_t pathway_size, std::span<const double> scores,
                                                             ScoreType score_type, std::uint64_t sample_size,
                                                             std::uint64_t seed);

// The same work split in its two independent halves, so that they can run
// at once: the positive side answers the scores >= 0 from the top of the
// ranking, the negative side the others (NaN included) from the bottom.
enum class Side { Positive, Negative };

// |weights| as the estimator of a side reads them: from the top, or from the
// bottom for the negative side.
std::vector<std::int64_t> side_weights(std::span<const std::int64_t> weights, Side side);

// Whether the side answers the score e (the negative side takes NaN).
inline bool answers(Side side, double e) { return (e >= 0.0) == (side == Side::Positive); }

// Whether any score of the group is answered by the side.
bool side_has_scores(Side side, std::span<const double> scores);

// Runs one side's estimator and writes the results of its scores into the
// matching slots of `out` (as long as `scores`); other slots are untouched.
void run_multilevel_side(Side side, std::span<const std::int64_t> weights_of_side, double eps,
                         std::uint64_t pathway_size, std::span<const double> scores, ScoreType score_type,
                         std::uint64_t sample_size, std::uint64_t seed, std::span<MultilevelPvalue> out,
                         const Progress* progress = nullptr);

// What the refinement stage reads and updates of one tested pathway.
struct PathwayStatistics {
    std::uint64_t size = 0;
    double es = 0.0;
    std::optional<double> nes;
    double pval = std::numeric_limits<double>::quiet_NaN();
    std::optional<double> log2err;
    std::uint64_t n_more_extreme = 0;  // permutation scores at least as extreme, on the pathway's side
    std::uint64_t n_same_sign = 0;     // permutation scores on the pathway's side
};

struct RefinementSettings {
    std::uint64_t nperm = 0;  // permutations behind the records' counts
    ScoreType score_type = ScoreType::Std;
    std::uint64_t sample_size = 101;
    double eps = 1e-50;
    bool refine_all = false;  // refine every record with a p-value, however well the permutations resolved it
};

// Refines pval and log2err of the records whose permutation p-value is too
// coarse; continues drawing from the analysis's main stream. Throws
// Interrupted when the progress asks to stop.
void refine_multilevel(std::span<PathwayStatistics> records, const RefinementSettings& settings,
                       std::span<const std::int64_t> scaled_weights, RMt19937SeedCompat& main_stream,
                       Progress& progress);

}  // namespace rsvelmo
