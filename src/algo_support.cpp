#include "algo_support.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <numbers>
#include <numeric>
#include <unordered_set>

#include "logging.hpp"
#include "special.hpp"

namespace rsvelmo {

namespace {

constexpr logging::Source kLog{"rsvelmo::algo_support", "src/algo_support.cpp"};

}  // namespace

std::vector<std::string> ranking_diagnostics(const RankedList& ranked, ScoreType score_type) {
    std::vector<std::string> found;
    const auto& scores = ranked.scores();
    std::unordered_set<std::uint64_t> seen;
    seen.reserve(scores.size());
    std::uint64_t ties = 0;
    for (double s : scores) {
        if (s == 0.0) continue;
        std::uint64_t bits;
        std::memcpy(&bits, &s, sizeof bits);
        if (!seen.insert(bits).second) ++ties;
    }
    if (!scores.empty() && ties > 0) {
        const double percent = (static_cast<double>(ties) * 100.0) / static_cast<double>(scores.size());
        char formatted[64];
        std::snprintf(formatted, sizeof formatted, "%.2f", percent);  // glibc: exact, ties to even
        found.push_back("detected " + std::to_string(ties) + " tied non-zero ranking scores (" + formatted +
                        "% of genes); ties are resolved by input order and can slightly affect "
                        "enrichment outcomes");
    }
    if (score_type == ScoreType::Std && std::all_of(scores.begin(), scores.end(), [](double s) { return s > 0.0; })) {
        found.push_back(
            "all ranking scores are positive while scoreType='std'; for one-tailed enrichment, consider "
            "scoreType='pos'");
    }
    return found;
}

void warn_prepare_stats(const RankedList& ranked, ScoreType score_type) {
    if (!logging::enabled(logging::Level::Warning)) return;
    for (std::string& message : ranking_diagnostics(ranked, score_type))
        logging::log(logging::Level::Warning, kLog, __LINE__, std::move(message));
}

std::vector<std::uint64_t> extract_pathway_hits(const Pathway& pathway, const GenePositions& gene_positions) {
    std::vector<std::uint64_t> hits;
    hits.reserve(pathway.genes.size());
    for (const auto& gene : pathway.genes) {
        if (auto it = gene_positions.find(gene); it != gene_positions.end()) hits.push_back(it->second);
    }
    std::sort(hits.begin(), hits.end());
    hits.erase(std::unique(hits.begin(), hits.end()), hits.end());
    return hits;
}

std::vector<std::string> leading_edge(std::span<const std::uint64_t> hits, std::uint64_t peak, ScoreType score_type,
                                      const std::vector<std::string>& ranked_genes, double es) {
    bool top_side;  // true: hits up to the peak, top first; false: from the peak on, bottom first
    switch (score_type) {
        case ScoreType::Pos: top_side = true; break;
        case ScoreType::Neg: top_side = false; break;
        default:
            if (es > 0.0) {
                top_side = true;
            } else if (es < 0.0) {
                top_side = false;
            } else {
                return {};  // zero or NaN: no side leads
            }
    }
    std::vector<std::string> genes;
    if (top_side) {
        for (std::uint64_t p : hits) {
            if (p <= peak) genes.push_back(ranked_genes[p]);
        }
    } else {
        for (auto it = hits.rbegin(); it != hits.rend(); ++it) {
            if (*it >= peak) genes.push_back(ranked_genes[*it]);
        }
    }
    return genes;
}

void apply_bh_adjustment(std::vector<EnrichmentResult>& results) {
    const std::size_t n = results.size();
    std::vector<std::size_t> order;
    for (std::size_t i = 0; i < n; ++i) {
        if (std::isfinite(results[i].pval)) order.push_back(i);
    }
    if (order.empty()) return;
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return results[a].pval < results[b].pval; });
    double running = 1.0;
    for (std::size_t rank = order.size(); rank >= 1; --rank) {
        EnrichmentResult& r = results[order[rank - 1]];
        const double q = (r.pval * static_cast<double>(n)) / static_cast<double>(rank);
        running = std::min(q, running);
        running = std::min(running, 1.0);
        r.padj = running;
    }
}

bool should_refine_multilevel(std::uint64_t n_more_extreme, std::uint64_t n_same_sign, std::uint64_t nperm,
                              std::uint64_t sample_size, double pval) {
    if (n_same_sign < kMinSameSign) return false;
    if (nperm == 0 || !std::isfinite(pval)) return false;
    const double x = static_cast<double>(n_more_extreme);
    const double m = static_cast<double>(nperm);
    using special::beta_quantile;
    const double lo = x == 0.0 ? -INFINITY : std::log2(beta_quantile(0.025, x, (m - x) + 1.0));
    const double hi = (m - x) <= 0.0 ? 0.0 : std::log2(beta_quantile(0.975, x + 1.0, m - x));
    const double lp = std::log2((x + 1.0) / (m + 1.0));
    // fmax ignores a NaN operand, as wanted here.
    const double half = 0.5 * std::fmax(lp - lo, hi - lp);
    return multilevel_log2err(lp, sample_size) < half;
}

double multilevel_log2err(double log2_p, std::uint64_t sample_size) {
    const double s = static_cast<double>(sample_size);
    const double gap = special::trigamma((s + 1.0) * 0.5) - special::trigamma(s + 1.0);
    return std::sqrt(std::floor(1.0 - log2_p) * gap) / std::numbers::ln2;
}

}  // namespace rsvelmo
