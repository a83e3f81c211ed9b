#include "sample_scores.hpp"

#include <algorithm>
#include <cmath>
#include <span>
#include <string>

#include "pool.hpp"
#include "sample_kernels.hpp"

namespace rsvelmo::scores {

namespace {

using detail::decreasing_order;

// Genes whose standard deviation is below this are constant for GSVA 1.46
// (its .filterFeatures), and so they are here.
constexpr double kConstantSd = 1e-10;

// A chunk's kernel CDF values: about 64 MB of doubles, whatever the gene count.
constexpr std::size_t kChunkDoubles = std::size_t{8} << 20;

// Genes per task when the kernel CDFs of a chunk are computed.
constexpr std::size_t kGenesPerTask = 64;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// The sets as the scoring sees them: indices among the kept genes, in the
// set's own order (the z-score sums in that order), for the sets scored.
struct PreparedSets {
    std::vector<std::vector<std::uint32_t>> genes;  // per input set; empty when not scored
    std::vector<std::size_t> scored;                // indices of the scored sets
};

// Which scored sets hold each kept gene, so that one pass over a sample's
// ranking lays out every set's places already in increasing order (no sort
// per set and sample).
struct SetIndex {
    std::vector<std::size_t> start;        // per scored set: its first place in a sample's layout; one more at the end
    std::vector<std::size_t> gene_start;   // per kept gene: its first entry in `gene_sets`; one more at the end
    std::vector<std::uint32_t> gene_sets;  // ordinals (in PreparedSets::scored) of the sets holding the gene
};

SetIndex index_sets(const PreparedSets& sets, std::size_t genes) {
    SetIndex x;
    x.start.assign(sets.scored.size() + 1, 0);
    x.gene_start.assign(genes + 1, 0);
    for (std::size_t t = 0; t < sets.scored.size(); ++t) {
        const auto& members = sets.genes[sets.scored[t]];
        x.start[t + 1] = x.start[t] + members.size();
        for (std::uint32_t g : members) ++x.gene_start[g + 1];
    }
    for (std::size_t g = 0; g < genes; ++g) x.gene_start[g + 1] += x.gene_start[g];
    x.gene_sets.resize(x.gene_start[genes]);
    std::vector<std::size_t> next(x.gene_start.begin(), x.gene_start.end() - 1);
    for (std::size_t t = 0; t < sets.scored.size(); ++t)
        for (std::uint32_t g : sets.genes[sets.scored[t]]) x.gene_sets[next[g]++] = static_cast<std::uint32_t>(t);
    return x;
}

// The columns scored, [begin, end); out.values holds end - begin columns.
struct Columns {
    std::size_t begin = 0;
    std::size_t end = 0;
    std::size_t width() const { return end - begin; }
    // The cell of `set` and matrix column `j` in out.values.
    std::size_t cell(std::size_t set, std::size_t j) const { return set * width() + (j - begin); }
};

// Per-slot scratch of the per-sample walks.
struct SampleScratch {
    std::vector<double> column;
    std::vector<std::uint32_t> order;
    std::vector<double> weight;     // gene -> its walk weight
    std::vector<double> weight_at;  // place -> the walk weight of the gene there
    std::vector<std::int64_t> ranks;
    std::vector<std::uint32_t> places;  // every scored set's places, laid out by SetIndex::start
    std::vector<std::size_t> cursor;
};

std::string cell(std::size_t row, std::size_t column) {
    return "row " + std::to_string(row + 1) + ", column " + std::to_string(column + 1);
}

std::span<const double> row_of(const MatrixView& m, std::size_t row) { return {m.data + row * m.samples, m.samples}; }

// Lays out every scored set's places in the sample's order, increasing.
void place_sets(const SetIndex& index, SampleScratch& s) {
    s.cursor.assign(index.start.begin(), index.start.end() - 1);
    s.places.resize(index.start.back());
    for (std::size_t q = 0; q < s.order.size(); ++q) {
        const std::uint32_t g = s.order[q];
        for (std::size_t e = index.gene_start[g]; e < index.gene_start[g + 1]; ++e)
            s.places[s.cursor[index.gene_sets[e]]++] = static_cast<std::uint32_t>(q);
    }
    s.weight_at.resize(s.order.size());
    for (std::size_t q = 0; q < s.order.size(); ++q) s.weight_at[q] = s.weight[s.order[q]];
}

std::span<const std::uint32_t> places_of(const SetIndex& index, const SampleScratch& s, std::size_t t) {
    return {s.places.data() + index.start[t], index.start[t + 1] - index.start[t]};
}

// GSVA: kernel CDFs of the chunk's samples, gene by gene (in parallel over
// gene blocks), then per sample the symmetric rank scores and the walks.
void score_gsva(const MatrixView& m, const std::vector<std::size_t>& kept, const PreparedSets& sets, const Options& o,
                double tau, std::size_t chunk, const Columns& columns, Scores& out) {
    const std::size_t n = kept.size();
    std::vector<double> block(n * chunk);
    const SetIndex index = index_sets(sets, n);
    std::vector<SampleScratch> scratch(pool::thread_count());
    std::vector<std::vector<double>> gene_scratch(pool::thread_count());
    // Each test sample's kernel sums run over every density sample in the
    // same order whichever chunk (or range) holds it: the same bits.
    for (std::size_t first = columns.begin; first < columns.end; first += chunk) {
        const std::size_t width = std::min(chunk, columns.end - first);
        pool::run((n + kGenesPerTask - 1) / kGenesPerTask, [&](std::size_t task, std::size_t slot) {
            const std::size_t end = std::min(n, (task + 1) * kGenesPerTask);
            for (std::size_t r = task * kGenesPerTask; r < end; ++r) {
                const std::span<double> dst(block.data() + r * width, width);
                const auto row = row_of(m, kept[r]);
                switch (o.kcdf) {
                    case Kcdf::Gaussian: detail::gaussian_log_odds(row, first, dst, gene_scratch[slot]); break;
                    case Kcdf::Poisson: detail::poisson_log_odds(row, first, dst); break;
                    case Kcdf::None: detail::ecdf_log_odds(row, first, dst, gene_scratch[slot]); break;
                }
            }
        });
        pool::run(width, [&](std::size_t j, std::size_t slot) {
            SampleScratch& s = scratch[slot];
            s.column.resize(n);
            for (std::size_t r = 0; r < n; ++r) s.column[r] = block[r * width + j];
            decreasing_order(s.column, s.order);
            // Rank scores |n - i + 1 - n/2| of the gene at place i (1-based),
            // raised to tau as the reference's walk does.
            s.weight.resize(n);
            const double half = static_cast<double>(n) / 2.0;
            for (std::size_t i = 0; i < n; ++i)
                s.weight[s.order[i]] = std::pow(std::fabs(static_cast<double>(n - i) - half), tau);
            place_sets(index, s);
            for (std::size_t t = 0; t < sets.scored.size(); ++t) {
                const std::size_t set = sets.scored[t];
                double weight_sum = 0.0;  // in the set's own order, as the reference sums
                for (std::uint32_t g : sets.genes[set]) weight_sum += s.weight[g];
                out.values[columns.cell(set, first + j)] = detail::gsva_walk(places_of(index, s, t), s.weight_at.data(),
                                                                             weight_sum, n, o.mx_diff, o.abs_ranking);
            }
        });
    }
}

// ssGSEA: each sample on its own, every gene kept.
void score_ssgsea(const MatrixView& m, const PreparedSets& sets, double tau, const Columns& columns, Scores& out) {
    const std::size_t n = m.genes;
    const SetIndex index = index_sets(sets, n);
    std::vector<SampleScratch> scratch(pool::thread_count());
    pool::run(columns.width(), [&](std::size_t task, std::size_t slot) {
        const std::size_t j = columns.begin + task;
        SampleScratch& s = scratch[slot];
        s.column.resize(n);
        for (std::size_t r = 0; r < n; ++r) s.column[r] = m.data[r * m.samples + j];
        decreasing_order(s.column, s.order);
        detail::truncated_average_ranks(s.column, s.order, s.ranks);
        s.weight.resize(n);
        for (std::size_t g = 0; g < n; ++g) s.weight[g] = std::pow(static_cast<double>(s.ranks[g]), tau);
        place_sets(index, s);
        for (std::size_t t = 0; t < sets.scored.size(); ++t)
            out.values[columns.cell(sets.scored[t], j)] =
                detail::ssgsea_walk(places_of(index, s, t), s.weight_at.data(), n);
    });
}

// Each kept gene's mean and scale as R's scale() computes them: long double
// sums, the mean divided in long double, the scale from double squares.
void standardise_rows(const MatrixView& m, const std::vector<std::size_t>& kept, std::vector<double>& mean,
                      std::vector<double>& scale) {
    mean.resize(kept.size());
    scale.resize(kept.size());
    pool::run(kept.size(), [&](std::size_t r, std::size_t) {
        const auto row = row_of(m, kept[r]);
        long double sum = 0.0L;
        for (double v : row) sum += v;
        const auto mu = static_cast<double>(sum / static_cast<long double>(row.size()));
        long double squares = 0.0L;
        for (double v : row) squares += (v - mu) * (v - mu);
        mean[r] = mu;
        scale[r] = std::sqrt(static_cast<double>(squares) / static_cast<double>(row.size() - 1));
    });
}

void score_zscore(const MatrixView& m, const std::vector<std::size_t>& kept, const PreparedSets& sets,
                  const Columns& columns, Scores& out) {
    std::vector<double> mean, scale;
    standardise_rows(m, kept, mean, scale);  // over every sample, whatever the columns scored
    pool::run(columns.width(), [&](std::size_t task, std::size_t) {
        const std::size_t j = columns.begin + task;
        for (std::size_t set : sets.scored) {
            const auto& genes = sets.genes[set];
            long double sum = 0.0L;
            for (std::uint32_t g : genes) sum += (m.data[kept[g] * m.samples + j] - mean[g]) / scale[g];
            out.values[columns.cell(set, j)] = static_cast<double>(sum) / std::sqrt(static_cast<double>(genes.size()));
        }
    });
}

// PLAGE: per set, the first right singular vector of its k x n standardised
// submatrix Z, from the smaller Gram matrix (Z Z^T or Z^T Z). Its sign is
// arbitrary; it is chosen so that the score grows with the set's summed
// standardised expression. The vector, its norm and its sign need every
// sample's column of Z: a range of columns is the same work as all of them.
void score_plage(const MatrixView& m, const std::vector<std::size_t>& kept, const PreparedSets& sets,
                 const Columns& columns, Scores& out) {
    std::vector<double> mean, scale;
    standardise_rows(m, kept, mean, scale);
    const std::size_t n = m.samples;
    pool::run(sets.scored.size(), [&](std::size_t task, std::size_t) {
        const std::size_t set = sets.scored[task];
        const auto& genes = sets.genes[set];
        const std::size_t k = genes.size();
        std::vector<double> z(k * n);
        for (std::size_t a = 0; a < k; ++a)
            for (std::size_t j = 0; j < n; ++j)
                z[a * n + j] = (m.data[kept[genes[a]] * n + j] - mean[genes[a]]) / scale[genes[a]];
        std::vector<double> v(n, 0.0);
        if (k <= n) {
            std::vector<double> gram(k * k);
            for (std::size_t a = 0; a < k; ++a)
                for (std::size_t b = a; b < k; ++b) {
                    double dot = 0.0;
                    for (std::size_t j = 0; j < n; ++j) dot += z[a * n + j] * z[b * n + j];
                    gram[a * k + b] = gram[b * k + a] = dot;
                }
            const std::vector<double> u = detail::leading_eigenvector(gram, k);
            for (std::size_t a = 0; a < k; ++a)
                for (std::size_t j = 0; j < n; ++j) v[j] += u[a] * z[a * n + j];
        } else {
            std::vector<double> gram(n * n);
            for (std::size_t i = 0; i < n; ++i)
                for (std::size_t j = i; j < n; ++j) {
                    double dot = 0.0;
                    for (std::size_t a = 0; a < k; ++a) dot += z[a * n + i] * z[a * n + j];
                    gram[i * n + j] = gram[j * n + i] = dot;
                }
            v = detail::leading_eigenvector(gram, n);
        }
        double norm = 0.0;
        double direction = 0.0;
        for (std::size_t j = 0; j < n; ++j) {
            norm += v[j] * v[j];
            double column = 0.0;
            for (std::size_t a = 0; a < k; ++a) column += z[a * n + j];
            direction += v[j] * column;
        }
        norm = std::sqrt(norm);
        if (direction < 0) norm = -norm;
        for (std::size_t j = columns.begin; j < columns.end; ++j)
            out.values[columns.cell(set, j)] = norm > 0 || norm < 0 ? v[j] / norm : kNaN;
    });
}

}  // namespace

double default_tau(Method method) { return method == Method::Ssgsea ? 0.25 : 1.0; }

Result<Scores> score_samples(const MatrixView& m, const std::vector<std::vector<std::size_t>>& sets, const Options& o) {
    if (m.genes == 0 || m.samples == 0)
        return Error::argument("expression", "the expression matrix is empty (no genes or no samples)");
    if (m.genes > std::numeric_limits<std::uint32_t>::max())
        return Error::argument("expression", "more than 2^32 - 1 genes");
    const double tau = o.tau ? *o.tau : default_tau(o.method);
    if (!std::isfinite(tau)) return Error::argument("tau", "tau must be finite");
    const bool whole_end = o.column_end == std::numeric_limits<std::size_t>::max();
    const Columns columns{o.column_begin, whole_end ? m.samples : o.column_end};
    if (columns.begin >= columns.end || columns.end > m.samples)
        return Error::argument("columns", "the columns [" + std::to_string(o.column_begin) + ", " +
                                              (whole_end ? std::string("end") : std::to_string(o.column_end)) +
                                              ") are not a non-empty range of the " + std::to_string(m.samples) +
                                              " samples");
    if (o.method == Method::Ssgsea && o.ssgsea_norm && columns.width() != m.samples)
        return Error::argument("columns",
                               "normalised ssgsea divides by the range of every sample's scores: score part of the "
                               "samples with ssgsea_norm off and divide by the range once they are gathered");
    const bool drops_constant = o.method != Method::Ssgsea;
    if (drops_constant && m.samples < 2) {
        return Error::argument("expression",
                               "at least two samples are needed: every gene is constant across a single sample, "
                               "and method '" +
                                   std::string(o.method == Method::Gsva     ? "gsva"
                                               : o.method == Method::Zscore ? "zscore"
                                                                            : "plage") +
                                   "' compares each sample with the others (use 'ssgsea')");
    }
    for (std::size_t g = 0; g < m.genes; ++g) {
        for (std::size_t j = 0; j < m.samples; ++j) {
            const double v = m.data[g * m.samples + j];
            if (!std::isfinite(v)) return Error::argument("expression", "non-finite value at " + cell(g, j));
            if (o.method == Method::Gsva && o.kcdf == Kcdf::Poisson && v < 0)
                return Error::argument("expression",
                                       "negative value at " + cell(g, j) + ": kcdf='poisson' needs counts");
        }
    }

    Scores out;
    out.sets = sets.size();
    out.samples = columns.width();
    out.first_column = columns.begin;
    out.constant_dropped = drops_constant;
    std::vector<double> sd(m.genes);
    pool::run(m.genes, [&](std::size_t g, std::size_t) { sd[g] = detail::kernel_sd(row_of(m, g)); });
    std::vector<std::size_t> kept;
    std::vector<std::uint32_t> kept_index(m.genes, std::numeric_limits<std::uint32_t>::max());
    for (std::size_t g = 0; g < m.genes; ++g) {
        if (!(sd[g] >= kConstantSd)) {
            out.constant_genes.push_back(g);
            if (drops_constant) continue;
        }
        kept_index[g] = static_cast<std::uint32_t>(kept.size());
        kept.push_back(g);
    }
    if (kept.size() < 2)
        return Error::argument("expression", "fewer than two genes are left once constant genes are removed");

    PreparedSets prepared;
    prepared.genes.resize(sets.size());
    out.sizes.resize(sets.size());
    out.scored.resize(sets.size());
    std::vector<std::uint8_t> seen(m.genes, 0);
    for (std::size_t s = 0; s < sets.size(); ++s) {
        std::vector<std::uint32_t> genes;
        for (std::size_t g : sets[s]) {
            if (g >= m.genes)
                return Error::argument("gene_sets", "gene set " + std::to_string(s + 1) + " refers to row " +
                                                        std::to_string(g) + " of a matrix of " +
                                                        std::to_string(m.genes) + " genes");
            if (seen[g])
                return Error::argument(
                    "gene_sets", "gene set " + std::to_string(s + 1) + " names row " + std::to_string(g) + " twice");
            seen[g] = 1;
            if (kept_index[g] != std::numeric_limits<std::uint32_t>::max()) genes.push_back(kept_index[g]);
        }
        for (std::size_t g : sets[s]) seen[g] = 0;
        out.sizes[s] = genes.size();
        const bool scored = !genes.empty() && genes.size() >= o.min_size && genes.size() <= o.max_size;
        out.scored[s] = scored;
        if (scored) {
            prepared.genes[s] = std::move(genes);
            prepared.scored.push_back(s);
        }
    }

    out.values.assign(sets.size() * columns.width(), kNaN);
    const std::size_t chunk = std::max<std::size_t>(
        1, std::min(columns.width(), o.chunk_samples ? o.chunk_samples : kChunkDoubles / kept.size()));
    switch (o.method) {
        case Method::Gsva: score_gsva(m, kept, prepared, o, tau, chunk, columns, out); break;
        case Method::Ssgsea: score_ssgsea(m, prepared, tau, columns, out); break;
        case Method::Zscore: score_zscore(m, kept, prepared, columns, out); break;
        case Method::Plage: score_plage(m, kept, prepared, columns, out); break;
    }

    if (o.method == Method::Ssgsea && o.ssgsea_norm) {
        // The range of the whole score matrix: every sample's scores depend
        // on the other samples' (and on the other sets).
        double lo = std::numeric_limits<double>::infinity();
        double hi = -lo;
        for (std::size_t s : prepared.scored)
            for (std::size_t j = 0; j < m.samples; ++j) {
                lo = std::min(lo, out.values[s * m.samples + j]);
                hi = std::max(hi, out.values[s * m.samples + j]);
            }
        const double range = hi - lo;
        for (std::size_t s : prepared.scored)
            for (std::size_t j = 0; j < m.samples; ++j) out.values[s * m.samples + j] /= range;
    }
    return out;
}

}  // namespace rsvelmo::scores
