// Small pure operations around the statistics: diagnostics of the ranking,
// pathway hits, leading edges, Benjamini-Hochberg adjustment and the decision
// which pathways the multilevel estimator refines.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "core.hpp"

namespace rsvelmo {

using GenePositions = std::unordered_map<std::string, std::uint64_t>;

// Fewer permutation scores than this on a pathway's side give no usable
// estimate: such a pathway gets no p-value of its own and is not refined.
inline constexpr std::uint64_t kMinSameSign = 10;

// What is suspect about a ranking: ties among non-zero scores (their order
// is the input order) and an all-positive ranking analysed two-sided. One
// message each, none when the ranking is fine.
std::vector<std::string> ranking_diagnostics(const RankedList& ranked, ScoreType score_type);

// Emits the diagnostics as warning records. Changes nothing.
void warn_prepare_stats(const RankedList& ranked, ScoreType score_type);

// Sorted, distinct ranking positions of the pathway's genes that are ranked.
std::vector<std::uint64_t> extract_pathway_hits(const Pathway& pathway, const GenePositions& gene_positions);

// Gene names of the leading edge, the peak gene last.
std::vector<std::string> leading_edge(std::span<const std::uint64_t> hits, std::uint64_t peak, ScoreType score_type,
                                      const std::vector<std::string>& ranked_genes, double es);

// Fills padj of every record with a finite pval; n counts every record.
void apply_bh_adjustment(std::vector<EnrichmentResult>& results);

// Whether the multilevel estimate would be more precise than the permutation
// estimate (x+1)/(M+1) with its 95% interval.
bool should_refine_multilevel(std::uint64_t n_more_extreme, std::uint64_t n_same_sign, std::uint64_t nperm,
                              std::uint64_t sample_size, double pval);

// The expected error of log2 p of a multilevel estimate at log2 p, with
// `sample_size` random sets per level: one level per halving of p, each
// adding the variance of the log of a Beta share.
double multilevel_log2err(double log2_p, std::uint64_t sample_size);

}  // namespace rsvelmo
