// The multilevel refinement of p-values: which pathways the permutations
// could not resolve, the groups of equal size that share one pair of
// estimators (top and bottom of the ranking), the seed they share, the
// scheduling of the estimators on the pool and the merge of their p-values
// back into the pathways' rows.
#pragma once

#include <cstdint>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <utility>

#include "core.hpp"
#include "progress.hpp"
#include "rng_compat.hpp"

namespace rsvelmo {

// A call is settled when its log2 p lies this many standard errors from the
// line where the calls end: the chance that more sampling moves it across is
// then below 0.5% (2.576 is the normal distribution's 0.995 quantile).
inline constexpr double kSettledAt = 2.576;

// A tested pathway's permutation counts on its own side of zero.
struct SideCounts {
    std::uint64_t n_more_extreme = 0;  // permutation scores at least as extreme
    std::uint64_t n_same_sign = 0;     // permutation scores on the pathway's side
};

// Thrown on the calling thread, before any estimator starts, when one
// estimator's sample cannot fit in the machine's memory at all: a failed
// allocation on a worker thread would end the process.
class SampleTooLarge : public std::bad_alloc {
public:
    explicit SampleTooLarge(std::string message) : message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }

private:
    std::string message_;
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
// asks to stop, SampleTooLarge when an estimator cannot fit in memory.
double refine_multilevel(std::span<EnrichmentResult> rows, std::span<const SideCounts> counts,
                         const RefinementSettings& settings, std::span<const std::int64_t> scaled_weights,
                         RMt19937SeedCompat& main_stream, Progress& progress);

// Where the calls end at a padj cut: the Benjamini-Hochberg line cut * k / n
// at the last rank k whose p-value lies below it (the first rank when none
// does); n counts every row, as the adjustment does.
double call_boundary(std::span<const EnrichmentResult> rows, double cut);

// The chance that more sampling moves the row across the boundary: with
// log2(pval) normal around the true value with standard error log2err,
// the mass on the other side of log2(boundary). Nothing for a row without
// a p-value; 0 for one without an error (a p-value at eps).
std::optional<double> flip_risk(const EnrichmentResult& row, double boundary);

// Settles the calls at a Benjamini-Hochberg cut (a call is padj < cut):
// rows whose log2 p lies within kSettledAt of its standard errors of the cut
// get new multilevel estimates, in rounds with 4, 16, ... times the sample
// size, nearest the cut first, until none is left or the estimators would
// exceed `budget` (work as refine_multilevel counts it); a new estimate is
// pooled with the row's earlier one. Each round draws its seed from the
// main stream.
void settle_calls(std::span<EnrichmentResult> rows, std::span<const SideCounts> counts,
                  const RefinementSettings& settings, double cut, double budget,
                  std::span<const std::int64_t> scaled_weights, RMt19937SeedCompat& main_stream, Progress& progress);

}  // namespace rsvelmo
