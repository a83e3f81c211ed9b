// Gene set enrichment from an expression matrix with a null distribution
// made by permuting the sample labels (the original GSEA method), which
// keeps the correlation between genes that a gene-set permutation ignores.
//
// Definitions (mu and sigma the class means and sample standard deviations):
//  - metrics: signal_to_noise (muA - muB) / (sA + sB), t_test (muA - muB) /
//    sqrt(sA^2/nA + sB^2/nB), where s is sigma raised to at least 0.2 |mu|
//    (0.2 when that is still 0); diff_of_classes muA - muB; ratio_of_classes
//    muA / muB; log2_ratio_of_classes log2(muA / muB). Positive: higher in A.
//  - ranking: metric descending, equal metrics in input row order.
//  - ES: the running sum (a hit steps up by |metric|^weight over the set's
//    sum of them, a miss down by 1 / (N - size)) farthest from zero, the
//    positive one on an exact tie. A set whose weights sum to 0 steps 1/size
//    per hit. The leading edge is the set's genes up to the first peak (from
//    the trough on, for a negative ES), in ranked order.
//  - permutations: exact, every assignment keeping the class sizes (the
//    observed one among them); random, `nperm` shuffles; auto, exact when
//    there are at most `nperm` assignments.
//  - NES: ES over the mean |ES| of the set's null ES of the same sign (null
//    ES normalised alike). p: the share of same-sign null ES at least as
//    extreme, b/m when exact, (b + 1)/(m + 1) when random. FDR q: the share
//    of all same-sign null NES reaching NES* ((count + 1)/(total + 1) when
//    random) over the share of same-sign observed NES reaching it, capped at
//    1. FWER: the share of permutations whose most extreme same-sign null NES
//    over all sets reaches NES* ((count + 1)/(m + 1) when random).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "result.hpp"

namespace rsvelmo::phenotype {

enum class Metric : std::uint8_t { SignalToNoise, TTest, DiffOfClasses, RatioOfClasses, Log2RatioOfClasses };
enum class Permutations : std::uint8_t { Auto, Exact, Random };

std::optional<Metric> parse_metric(std::string_view name);
std::optional<Permutations> parse_permutations(std::string_view name);

// Most assignments an exact enumeration runs: beyond a million, random
// permutations estimate every p-value the null can show to well under its
// own resolution, and the null ES would not fit in memory for a large collection.
inline constexpr std::uint64_t kMaxExact = 1000000;

// Most null ES an analysis keeps (8 bytes each, 8 GiB): 35,000 gene sets
// with 1,000 permutations take 280 MB; far beyond this bound a machine
// would swap or kill the process rather than fail an allocation.
inline constexpr std::uint64_t kMaxNullValues = std::uint64_t{1} << 30;

struct Settings {
    Metric metric = Metric::SignalToNoise;
    Permutations permutations = Permutations::Auto;
    std::uint64_t nperm = 1000;  // random permutations, and the exact/random bound of auto
    double weight = 1.0;         // exponent of |metric| in the hit steps
    std::uint64_t seed = 42;
};

// A genes x samples matrix, row-major, borrowed from the caller.
struct Expression {
    const double* values = nullptr;
    std::size_t genes = 0;
    std::size_t samples = 0;
};

struct SetResult {
    double es = 0;
    double nes = 0;  // NaN when the null has no ES of the observed sign (random only)
    double pval = 0;
    double fdr = 0;                           // NaN with nes
    double fwer = 0;                          // NaN with nes
    std::vector<std::uint32_t> leading_edge;  // row indices, in ranked order
};

struct Analysis {
    std::vector<double> metric;        // observed metric per row
    std::vector<std::uint32_t> order;  // rows in ranked order
    std::vector<SetResult> sets;       // in the order given
    std::uint64_t permutations = 0;    // assignments the null was made of
    bool exact = false;
};

// C(n, k), saturating at UINT64_MAX.
std::uint64_t assignments(std::uint64_t n, std::uint64_t k);

// The label assignments of the null, one row of `samples` 0/1 values each:
// exact, the positions of class A as combinations in lexicographic order
// ({0, ..., nA - 1} first); random, sample(labels) of R (4.0 or later, the
// default generator) after set.seed(seed), `nperm` times in a row.
std::vector<std::uint8_t> exact_assignments(std::size_t samples, std::size_t class_a);
std::vector<std::uint8_t> random_assignments(std::span<const std::uint8_t> labels, std::uint64_t nperm,
                                             std::uint64_t seed);

// The metric of every row under `labels` (1 = class A); the inputs are
// assumed valid (see run).
std::vector<double> class_metric(const Expression& x, std::span<const std::uint8_t> labels, Metric metric);

// The analysis; gene sets are lists of distinct row indices, each with at
// least 1 and fewer than `genes` members (the caller filters by size).
// Errors (Kind::Argument, naming the parameter): a value not finite, labels
// not 0/1 or not one per sample, a class with fewer than 3 samples for a
// metric with a standard deviation (1 otherwise), values a ratio metric
// cannot take, a bad gene set, too many exact assignments.
Result<Analysis> run(const Expression& x, std::span<const std::uint8_t> labels,
                     const std::vector<std::vector<std::uint32_t>>& gene_sets, const Settings& settings);

}  // namespace rsvelmo::phenotype
