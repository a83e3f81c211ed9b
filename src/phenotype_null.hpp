// The stages of the phenotype-permutation analysis behind phenotype::run:
// the observed scores, the null ES of every permutation (on the worker
// pool) and the statistics made from them. Exposed for the unit's tests.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "phenotype.hpp"

namespace rsvelmo::phenotype {

// The samples of each class, in sample order (reused: no allocation once
// both have held all samples).
struct ClassIndex {
    std::vector<std::uint32_t> a, b;
    void assign(std::span<const std::uint8_t> labels);
};

// The matrix sample-major (one column of genes per sample), so that the
// metric of a block of genes adds whole columns: loops the compiler can
// vectorise, each gene's sums still in sample order.
struct Columns {
    explicit Columns(const Expression& x);
    std::vector<double> values;
    std::size_t genes;
};

void metric_into(const Columns& x, const ClassIndex& classes, Metric metric, double* out);

// Everything a permutation needs, checked by run().
struct NullInput {
    const Expression& x;
    Columns columns;
    Metric metric;
    double weight;
    const std::vector<std::vector<std::uint32_t>>& sets;
    std::vector<std::uint8_t> assignments;  // permutations x samples labels, row-major
    std::uint64_t permutations;
};

struct Observed {
    std::vector<double> metric;
    std::vector<std::uint32_t> order;
    std::vector<double> es;
    std::vector<std::vector<std::uint32_t>> leading_edge;
};

// The observed labels' metric, ranking, ES and leading edges, computed by
// the same arithmetic as every permutation's, so that in an exact
// enumeration the observed ES and its null copy are the same double.
Observed observe(const NullInput& input, std::span<const std::uint8_t> labels);

// The null ES, permutation-major: null[k * sets + s].
std::vector<double> null_es(const NullInput& input);

// NES, p, FDR q and FWER of every set from its observed ES (in `sets`) and
// the null, which is normalised in place (it then holds the null NES).
void summarise(std::vector<double>& null, std::uint64_t permutations, bool exact, std::vector<SetResult>& sets);

}  // namespace rsvelmo::phenotype
