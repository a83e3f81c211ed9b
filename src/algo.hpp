// One enrichment analysis from a ranked list and pathways to sorted result
// records, and the enrichment score of a single gene set.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core.hpp"

namespace rsvelmo {

struct EsPeak {
    double es = 0.0;
    std::uint64_t peak = 0;  // ranking position where the extreme is reached
};

// Enrichment score of the gene set at the given strictly ascending ranking
// positions, with n genes in the ranking.
EsPeak calculate_es_velmo(std::span<const double> weights, std::span<const std::uint64_t> positions,
                          std::uint64_t n, ScoreType score_type);

std::vector<EnrichmentResult> run_gsea_internal(const RankedList& ranked, const std::vector<Pathway>& pathways,
                                                std::uint64_t nperm, std::uint64_t seed, std::uint64_t min_size,
                                                std::uint64_t max_size, ScoreType score_type,
                                                bool run_multilevel, double eps, double gsea_param,
                                                std::uint64_t sample_size);

// Permutation stage only, with nperm random sets per pathway.
std::vector<EnrichmentResult> velmo_simple_with_sample_size(
    const RankedList& ranked, const std::vector<Pathway>& pathways, std::uint64_t nperm, std::uint64_t seed,
    std::uint64_t min_size, std::uint64_t max_size, ScoreType score_type, double eps, double gsea_param,
    std::uint64_t sample_size);

// Permutation stage with nPermSimple sets, then multilevel refinement.
std::vector<EnrichmentResult> velmo_multilevel_with_sample_size(
    const RankedList& ranked, const std::vector<Pathway>& pathways, std::uint64_t n_perm_simple,
    std::uint64_t seed, std::uint64_t min_size, std::uint64_t max_size, ScoreType score_type, double eps,
    double gsea_param, std::uint64_t sample_size);

// Simple analysis when nperm is given, else the multilevel one.
std::vector<EnrichmentResult> velmo_with_sample_size(const RankedList& ranked, const std::vector<Pathway>& pathways,
                                                     std::optional<std::uint64_t> nperm,
                                                     std::uint64_t n_perm_simple, std::uint64_t seed,
                                                     std::uint64_t min_size, std::uint64_t max_size,
                                                     ScoreType score_type, double eps, double gsea_param,
                                                     std::uint64_t sample_size);

}  // namespace rsvelmo
