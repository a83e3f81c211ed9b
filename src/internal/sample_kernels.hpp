// The arithmetic of the per-sample gene-set scores, one sample or one gene
// at a time: the kernel CDFs of GSVA, the rank transforms, the two random
// walks and the leading eigenvector of PLAGE. Each function does its sums in
// the order and the precision the reference (GSVA 1.46 on R 4.2) does, so
// that equal inputs give equal bits wherever a different order would move
// near-tied genes past each other.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace rsvelmo::scores::detail {

// The Gaussian kernel's normal CDF is read from a table of Phi(10 i / 10000),
// i = 0..10000, indexed by |d / bandwidth| * 1000 truncated to an integer:
// a step function, part of the method as GSVA computes it (differences of
// less than a bandwidth / 1000 are not seen; beyond 10 bandwidths the CDF is
// exactly 0 or 1).
inline constexpr std::size_t kCdfSteps = 10000;
inline constexpr double kCdfReach = 10.0;  // bandwidths covered by the table

// Phi(x) for x >= 0 by Cody's rational Chebyshev approximations (Cody 1969),
// evaluated in the order R's pnorm does, so that the table is R's to the bit.
double normal_cdf(double x);

// The 10,001 entries, built once.
const std::array<double, kCdfSteps + 1>& normal_cdf_table();

// The kernel CDF of one difference (test value - density value) over the
// bandwidth: 0 below -10 bandwidths, 1 above +10, else the table's step.
double gaussian_step_cdf(double difference, double bandwidth);

// Sample standard deviation with GSVA's sums: a long double mean refined by
// one correction pass, then long double sums of double squares.
double kernel_sd(std::span<const double> x);

// Up to this many samples, the Gaussian kernel keeps a samples x samples
// table of steps (32 MB) when every sample is scored at once.
inline constexpr std::size_t kMaxPairedSamples = 2048;

// One gene's kernel CDF values, as log-odds, for the test samples [first,
// first + out.size()) of `row` against all of `row` (the density samples):
// Gaussian with bandwidth sd / 4, Poisson CDF at y with mean x + 0.5, or the
// empirical CDF (no kernel). `pairs` and `sorted` are scratch.
void gaussian_log_odds(std::span<const double> row, std::size_t first, std::span<double> out,
                       std::vector<double>& pairs);
void poisson_log_odds(std::span<const double> row, std::size_t first, std::span<double> out);
void ecdf_log_odds(std::span<const double> row, std::size_t first, std::span<double> out, std::vector<double>& sorted);

// Indices of `values` by decreasing value, equal values in increasing index
// order (the order R's stable order(decreasing = TRUE) gives).
void decreasing_order(std::span<const double> values, std::vector<std::uint32_t>& order);

// ssGSEA's ranks: the average rank among `values` (1 = smallest, ties
// sharing the mean of their positions) truncated to an integer, as GSVA
// stores them; from the decreasing order of the same values.
void truncated_average_ranks(std::span<const double> values, std::span<const std::uint32_t> order,
                             std::vector<std::int64_t>& ranks);

// GSVA's walk for one set in one sample. `positions` holds the set's genes'
// places in the decreasing order (0-based, increasing), `weight_at` the
// weight of the gene at each place, `weight_sum` the set's weights summed in
// the set's own order, `genes` the genes ranked. Returns the largest positive plus the
// largest negative deviation (mx_diff), their difference (with
// abs_ranking), or the larger in absolute value (without mx_diff).
double gsva_walk(std::span<const std::uint32_t> positions, const double* weight_at, double weight_sum,
                 std::size_t genes, bool mx_diff, bool abs_ranking);

// ssGSEA's walk for one set in one sample: the sum over the ranking of the
// in-set CDF weighted by `weight_at` (by place) minus the out-of-set CDF,
// computed in closed form from the set's places (0-based, increasing) as
// GSVA does.
double ssgsea_walk(std::span<const std::uint32_t> positions, const double* weight_at, std::size_t genes);

// The unit eigenvector of the largest eigenvalue of the symmetric m x m
// matrix `a` (row-major; destroyed), by cyclic Jacobi rotations until the
// off-diagonal part is negligible. Its sign is left as found.
std::vector<double> leading_eigenvector(std::vector<double>& a, std::size_t m);

}  // namespace rsvelmo::scores::detail
