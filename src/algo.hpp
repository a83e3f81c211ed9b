// The analysis driver: one enrichment analysis from a ranked list and
// pathways to result records sorted by pathway name. It keeps the pathways
// in the size range, scores them, runs the permutation stage and, when
// asked, the multilevel refinement, then adds leading edges and adjusted
// p-values. The three named entry operations are thin adapters for callers
// that pass the settings one by one.
#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <vector>

#include "core.hpp"
#include "progress.hpp"

namespace rsvelmo {

// The kinds of analysis the three entry operations run.
enum class InterfaceMode : std::uint8_t { Multilevel = 0, Simple = 1, Velmo = 2 };

// Every setting of one analysis. Out-of-range values are brought into range
// by the driver (min_size at least 1, max_size at most n - 1, sample_size at
// least 1, eps within [0, 1]); it never fails on a setting.
struct AnalysisOptions {
    std::uint64_t nperm = 1000;  // random gene sets per pathway size in the permutation stage
    std::uint64_t seed = 42;     // only its low 32 bits are used
    std::uint64_t min_size = 1;  // inclusive bounds on a pathway's size in the ranking
    std::uint64_t max_size = std::numeric_limits<std::uint64_t>::max();
    ScoreType score_type = ScoreType::Std;
    bool run_multilevel = true;       // refine coarse p-values after the permutations
    bool refine_all = false;          // with run_multilevel: refine every pathway with a p-value, not only coarse ones
    double eps = 1e-50;               // smallest multilevel p-value
    double gsea_param = 1.0;          // exponent of the score weights
    std::uint64_t sample_size = 101;  // sample size of the multilevel estimator
    // With run_multilevel: settle the calls at this padj cut (more sampling
    // for the rows whose call the estimates leave open); none: do not.
    std::optional<double> settle_cut = std::nullopt;
    // Settling spends at most this many times the refinement's work.
    double settle_budget = 0.5;
};

// The analysis a mode asks for, with every other setting at its default:
// "simple" is the permutation stage alone with nperm permutations (nPermSimple
// when nperm is absent); "multilevel" is nPermSimple permutations and the
// refinement, whatever nperm says; "velmo" is "simple" when nperm is given,
// else "multilevel".
AnalysisOptions options_for(InterfaceMode mode, std::optional<std::uint64_t> nperm, std::uint64_t n_perm_simple);

// The one entry of the driver. `observer`, when given, hears the progress
// on the calling thread and may stop the analysis, which then throws
// Interrupted; without one the analysis never fails.
std::vector<EnrichmentResult> run_gsea_internal(const RankedList& ranked, const std::vector<Pathway>& pathways,
                                                const AnalysisOptions& options, ProgressObserver* observer = nullptr);

// Permutation stage only, with nperm random sets per pathway.
std::vector<EnrichmentResult> velmo_simple_with_sample_size(const RankedList& ranked,
                                                            const std::vector<Pathway>& pathways, std::uint64_t nperm,
                                                            std::uint64_t seed, std::uint64_t min_size,
                                                            std::uint64_t max_size, ScoreType score_type, double eps,
                                                            double gsea_param, std::uint64_t sample_size);

// Permutation stage with nPermSimple sets, then multilevel refinement.
std::vector<EnrichmentResult> velmo_multilevel_with_sample_size(const RankedList& ranked,
                                                                const std::vector<Pathway>& pathways,
                                                                std::uint64_t n_perm_simple, std::uint64_t seed,
                                                                std::uint64_t min_size, std::uint64_t max_size,
                                                                ScoreType score_type, double eps, double gsea_param,
                                                                std::uint64_t sample_size);

// Simple analysis when nperm is given, else the multilevel one.
std::vector<EnrichmentResult> velmo_with_sample_size(const RankedList& ranked, const std::vector<Pathway>& pathways,
                                                     std::optional<std::uint64_t> nperm, std::uint64_t n_perm_simple,
                                                     std::uint64_t seed, std::uint64_t min_size, std::uint64_t max_size,
                                                     ScoreType score_type, double eps, double gsea_param,
                                                     std::uint64_t sample_size);

}  // namespace rsvelmo
