// The odds ratio of over-representation analysis, for 2 x 2 tables of a list
// against a gene set in a universe: the conditional maximum-likelihood
// estimate, solved to double precision. Each table is solved on its own, in
// parallel on the worker pool, so results do not depend on the number of
// threads. (The hypergeometric tail stays with SciPy: Boost.Math 1.74's
// prime-factorised density, the one this build finds, costs about 0.8 ms
// for a universe of 18,000 genes, 16 times SciPy's.)
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "result.hpp"

namespace rsvelmo::ora {

// One table in a universe of N genes: K of them in the set, n in the list,
// k in both.
struct Table {
    std::uint64_t K = 0;
    std::uint64_t n = 0;
    std::uint64_t k = 0;
};

// The odds ratio of every table, in the tables' order. Fails (Argument)
// when a table is impossible (K or n above N, k outside the support).
Result<std::vector<double>> odds_ratios(std::uint64_t N, std::span<const Table> tables);

// psi with E[X | psi] = k for Fisher's noncentral hypergeometric distribution
// (weights C(K, x) C(N - K, n - x) psi^x on max(0, n + K - N) <= x <=
// min(K, n)), solved to double precision: the quantity R's fisher.test
// estimates. 0 when k is the support's smallest value (also when the
// support is one point, as R), infinity at its largest.
double odds_ratio(std::uint64_t N, const Table& table);

}  // namespace rsvelmo::ora
