// The enrichment score of one gene set: the extreme of the running sum that
// rises at the set's genes by their weights and falls evenly at all other
// genes. Every other route to a score in this library is checked against it.
#pragma once

#include <cstdint>
#include <span>

#include "core.hpp"

namespace rsvelmo {

struct EsPeak {
    double es = 0.0;
    std::uint64_t peak = 0;  // ranking position where the extreme is reached
};

// Enrichment score of the gene set at the given strictly ascending ranking
// positions, with n genes in the ranking.
EsPeak calculate_es_velmo(std::span<const double> weights, std::span<const std::uint64_t> positions, std::uint64_t n,
                          ScoreType score_type);

}  // namespace rsvelmo
