// The "EsRuler": the multilevel (adaptive splitting) estimator of the
// probability that a random gene set of one size reaches a given enrichment
// score, far below what plain permutations can resolve. It keeps a sample of
// random gene sets, raises a threshold level by level (the median score of
// the sample), and refills the sample by resampling and perturbing sets that
// pass. The name and its arithmetic are kept fixed for bit-for-bit
// reproducibility; scores are compared exactly as rationals of integer
// weights, so no decision depends on rounding.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "esruler_compat_detail.hpp"
#include "progress.hpp"
#include "rng_compat.hpp"

namespace rsvelmo {

struct PvalueEstimate {
    double pvalue;
    double log2err;  // NaN when no error can be given
};

class EsRulerCompat {
public:
    // ranks: the non-negative integer weights in this estimator's
    // orientation, totalling at most 2^31 - 1 (std::invalid_argument
    // otherwise; scaled ranking weights total about 2^30).
    EsRulerCompat(std::span<const std::int64_t> ranks, std::uint64_t sample_size, std::uint64_t pathway_size,
                  double move_factor);

    // A lower bound on the bytes an estimator of this shape holds at once:
    // its sample and the spare copy the resampling fills (each set a bitmap
    // of the genes with its counts and its member list) and one level's
    // scores. In double: a sample of 2^64 sets must not wrap around.
    static double footprint(std::uint64_t genes, std::uint64_t sample_size, std::uint64_t pathway_size);

    // Runs the level process until a level reaches es (>= 0) or the
    // probability falls below eps (0: no such stop), or below e^-746, where
    // every estimate it could still give is 0. Returns early, with
    // the levels reached so far, when `progress` asks to stop.
    void extend(std::uint64_t seed, double es, double eps, const Progress* progress = nullptr);

    // P(ES+ >= es); with sign false only sets whose signed score is >= 0 count.
    PvalueEstimate get_pvalue(double es, bool sign) const;

    const std::vector<esruler::Level>& levels() const { return levels_; }
    // The perturbation passes of each round of extend, one entry per round:
    // with the levels' cuts they fix how many random words the run drew.
    const std::vector<std::int64_t>& pass_counts() const { return pass_counts_; }

private:
    // One proposal of a perturbation: the rank of the member to replace and
    // the gene to put in its place.
    struct Proposal {
        std::uint32_t rank;
        std::uint32_t gene;
    };

    void resample_genesets(Mt19937& engine);
    // The perturbation passes of one level: passes until `target` proposals
    // have been accepted, then as many again. Returns the passes of the
    // first part, or -1 when the progress asked to stop.
    std::int64_t perturb_level(Mt19937& engine, const esruler::Bound& bound, std::int64_t target,
                               const Progress* progress);
    // The proposals of one pass, set after set, as the sets would draw them
    // one after the other.
    void draw_pass(Mt19937& engine, std::vector<Proposal>& out) const;
    // Works the sets [begin, end) through a pass; returns the accepted proposals.
    std::int64_t perturb_sets(std::size_t begin, std::size_t end, const esruler::Bound& bound,
                              std::span<const Proposal> pass);
    std::int64_t perturbate(esruler::MemberSet& set, const esruler::Bound& bound,
                            std::span<const Proposal> proposals) const;

    esruler::Scorer scorer_;
    std::vector<std::uint32_t> gene_hash_;  // 32-bit draws
    std::uint64_t sample_size_;
    // The sampled sets, kept as they are perturbed from level to level.
    std::vector<esruler::MemberSet> samples_;
    // Scratch of resample_genesets, kept from level to level.
    struct RankedSet {
        esruler::SampleStat stat;
        std::size_t set;
    };
    std::vector<RankedSet> ranked_;
    std::vector<esruler::MemberSet> spare_samples_;
    std::array<std::vector<Proposal>, 2> passes_;  // the pass the driver draws, and the helper's replay of it
    std::size_t proposals_per_set_;
    std::vector<esruler::Level> levels_;
    std::vector<std::int64_t> pass_counts_;
    std::uint64_t pathway_size_;
    double move_factor_;
};

}  // namespace rsvelmo
