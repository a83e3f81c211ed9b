// Gene-set scores per sample: GSVA (Hänzelmann et al. 2013), ssGSEA
// (Barbie et al. 2009), the combined z-score (Lee et al. 2008) and PLAGE
// (Tomfohr et al. 2005), with the definitions, options and defaults of
// Bioconductor GSVA 1.46's gsva(), so that the scores agree with it.
//
// The input is a genes x samples matrix (row-major: one gene's samples are
// contiguous) and gene sets as row indices. Work runs on the worker pool,
// parallel over samples (and over sets for PLAGE); every task writes only
// its own cells, so the scores do not depend on the number of threads.
// Memory beyond the input and the sets x samples output is a per-chunk
// working set: no genes x samples or genes x samples x sets intermediate.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <vector>

#include "result.hpp"

namespace rsvelmo::scores {

enum class Method : std::uint8_t {
    Gsva,    // Kolmogorov-Smirnov-like walk over per-sample ranks of kernel CDF values
    Ssgsea,  // weighted walk over each sample's own expression ranks
    Zscore,  // sum of standardised expression over sqrt(set size)
    Plage,   // first right singular vector of the set's standardised expression
};

// The kernel GSVA estimates each gene's expression CDF with.
enum class Kcdf : std::uint8_t {
    Gaussian,  // continuous, log-scale data (microarray, log-CPM)
    Poisson,   // integer counts
    None,      // the empirical CDF, no kernel
};

struct Options {
    Method method = Method::Gsva;
    Kcdf kcdf = Kcdf::Gaussian;
    // Exponent of the walk's weights; none: 1 for gsva, 0.25 for ssgsea.
    std::optional<double> tau;
    bool mx_diff = true;       // gsva: max positive + max negative deviation (else the larger one)
    bool abs_ranking = false;  // gsva with mx_diff: max positive - max negative deviation
    bool ssgsea_norm = true;   // ssgsea: divide by the range of the whole score matrix
    // Inclusive bounds on a set's size among the genes kept (after constant
    // genes are dropped); sets outside them get NaN scores.
    std::size_t min_size = 1;
    std::size_t max_size = std::numeric_limits<std::size_t>::max();
    // Samples scored together (0: chosen from the gene count so that a
    // chunk's working set stays near 64 MB).
    std::size_t chunk_samples = 0;
    // The samples scored: columns [column_begin, column_end) of the matrix
    // (the default end: the last sample). What depends
    // on every sample (GSVA's kernel CDFs, the constant genes, the z-score's
    // and PLAGE's standardisation, PLAGE's singular vector) is estimated from
    // the whole matrix, so each cell has the bits of the whole-matrix run;
    // a range lets chunks of samples be scored apart (on other machines)
    // without the kernel work of the other chunks. PLAGE's singular vector
    // needs every sample: a range of it costs the whole set's work.
    // Normalised ssGSEA divides by the range over every sample's scores and
    // is refused on a partial range (score raw, divide after gathering).
    std::size_t column_begin = 0;
    std::size_t column_end = std::numeric_limits<std::size_t>::max();
};

// A view of the input: genes x samples, row-major, owned by the caller.
struct MatrixView {
    const double* data = nullptr;
    std::size_t genes = 0;
    std::size_t samples = 0;
};

struct Scores {
    std::size_t sets = 0;
    std::size_t samples = 0;       // the columns scored
    std::size_t first_column = 0;  // the matrix column of the first one
    std::vector<double> values;    // sets x samples scored, row-major; NaN rows for sets not scored
    // Each set's genes among those scored (constant genes removed for
    // gsva, zscore and plage), and whether the size bounds let it be scored.
    std::vector<std::size_t> sizes;
    std::vector<std::uint8_t> scored;
    // Rows whose standard deviation is below 1e-10 (or undefined with one
    // sample), in increasing order; `constant_dropped` says whether they
    // were removed (gsva, zscore, plage) or kept (ssgsea).
    std::vector<std::size_t> constant_genes;
    bool constant_dropped = false;
};

// The default exponent of `method`'s walk: 1 (gsva), 0.25 (ssgsea), unused
// otherwise.
double default_tau(Method method);

// Scores every set in every sample. Fails (an Argument error naming the
// parameter) on a non-finite value, a negative value with the Poisson
// kernel, fewer than two genes left, a gene index out of range or repeated
// within a set, a non-finite tau, an empty or out-of-range column range, or
// normalised ssGSEA on part of the samples.
Result<Scores> score_samples(const MatrixView& matrix, const std::vector<std::vector<std::size_t>>& sets,
                             const Options& options);

}  // namespace rsvelmo::scores
