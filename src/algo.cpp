#include "algo.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <numbers>
#include <string>

#include "algo_support.hpp"
#include "enrichment_score.hpp"
#include "logging.hpp"
#include "multilevel.hpp"
#include "orvane_compat.hpp"
#include "pool.hpp"
#include "progress.hpp"
#include "rng_compat.hpp"
#include "special.hpp"

namespace rsvelmo {

namespace {

// Single-pathway permutations are drawn in chunks of at least this many,
// one L'Ecuyer stream per chunk.
constexpr std::uint64_t kMinChunk = 1000;
constexpr std::uint64_t kMaxChunks = 128;
// Permutations of a single-pathway chunk between two looks at the stop flag.
constexpr std::uint64_t kStopCheckEvery = 64;

// What the driver keeps of a pathway that passed the size filter, besides its row.
struct Tested {
    std::vector<std::uint64_t> hits;
    std::uint64_t peak = 0;
    PathwayAcc counts;
};

// The tested pathways in input order: rows[i], tested[i] and sides[i] are
// one pathway's output row, working data and counts on its side.
struct Kept {
    std::vector<EnrichmentResult> rows;
    std::vector<Tested> tested;
    std::vector<SideCounts> sides;
    std::size_t size() const { return rows.size(); }
};

constexpr logging::Source kLog{"rsvelmo::algo", "src/algo.cpp"};
using logging::Level;

// Runs the loop on the pool while the calling thread keeps the progress
// informed; throws Interrupted when a stop was asked for.
void run_observed(std::size_t count, const pool::Task& task, Progress& progress) {
    pool::run(count, task, [&] { progress.poll(); });
    progress.throw_if_stopped();
}

// Keeps the pathways whose size in the ranking lies within the bounds, with
// their scores; one task per pathway, gathered in pathway order.
Kept tested_pathways(const std::vector<Pathway>& pathways, const GenePositions& gene_positions,
                     std::span<const double> weights, std::uint64_t min_size, std::uint64_t max_size,
                     ScoreType score_type, Progress& progress) {
    const std::uint64_t n = weights.size();
    std::vector<std::optional<Tested>> found(pathways.size());
    std::vector<double> es(pathways.size());
    run_observed(
        pathways.size(),
        [&](std::size_t i, std::size_t) {
            if (progress.stopped()) return;
            std::vector<std::uint64_t> hits = extract_pathway_hits(pathways[i], gene_positions);
            if (hits.size() < min_size || hits.size() > max_size) return;
            const EsPeak score = calculate_es_velmo(weights, hits, n, score_type);
            es[i] = score.es;
            found[i].emplace(Tested{std::move(hits), score.peak, {}});
        },
        progress);
    Kept kept;
    for (std::size_t i = 0; i < found.size(); ++i) {
        if (!found[i]) continue;
        EnrichmentResult& row = kept.rows.emplace_back();
        row.pathway = pathways[i].name;
        row.size = found[i]->hits.size();
        row.es = es[i];
        kept.tested.push_back(std::move(*found[i]));
    }
    kept.sides.resize(kept.size());
    return kept;
}

// Sorts distinct values below marks.size() * 64 in place. A large sample
// is sorted in one sweep over a bitmap of the values (a few instructions a
// word, against a comparison sort's many per value); a small one by
// comparisons. `marks` is all zeros before and after.
void sort_distinct(std::vector<std::uint64_t>& values, std::vector<std::uint64_t>& marks) {
    if (values.size() * 8 < marks.size()) {
        std::sort(values.begin(), values.end());
        return;
    }
    for (const std::uint64_t v : values) marks[v >> 6] |= std::uint64_t{1} << (v & 63);
    std::size_t out = 0;
    for (std::size_t w = 0; w < marks.size(); ++w) {
        for (std::uint64_t x = marks[w]; x != 0; x &= x - 1) {
            values[out++] = w * 64 + static_cast<std::uint64_t>(std::countr_zero(x));
        }
        marks[w] = 0;
    }
}

// Sizes of the chunks of single-pathway permutations; one random stream
// serves each chunk.
std::vector<std::uint64_t> single_pathway_chunks(std::uint64_t nperm, bool run_multilevel) {
    if (run_multilevel) return {nperm};
    const std::uint64_t full = std::max<std::uint64_t>((nperm + kMaxChunks - 1) / kMaxChunks, kMinChunk);
    std::vector<std::uint64_t> chunks;
    std::uint64_t rest = nperm;
    for (; rest >= full; rest -= full) chunks.push_back(full);
    if (rest > 0) chunks.push_back(rest);
    return chunks;
}

void permute_single_pathway(Tested& record, double observed, std::span<const double> weights, std::uint64_t nperm,
                            std::uint64_t base_seed, bool run_multilevel, ScoreType score_type,
                            RMt19937SeedCompat& main_stream, Progress& progress) {
    const std::vector<std::uint64_t> chunks = single_pathway_chunks(nperm, run_multilevel);
    std::vector<std::uint64_t> seeds{base_seed};
    for (std::size_t c = 1; c < chunks.size(); ++c) seeds.push_back(main_stream.draw_seed());
    for (std::size_t c = 0; c < chunks.size() && logging::enabled(Level::Debug); ++c) {
        logging::log(Level::Debug, kLog, __LINE__,
                     "chunk " + std::to_string(c) + ": " + std::to_string(chunks[c]) + " permutations, seed " +
                         std::to_string(seeds[c]));
    }

    // Every chunk has its own stream, so chunks can run at once; their random
    // scores are kept and added in permutation order.
    const std::uint64_t n = weights.size();
    const std::uint64_t k = record.hits.size();
    std::vector<std::vector<double>> random_es(chunks.size());
    run_observed(
        chunks.size(),
        [&](std::size_t c, std::size_t) {
            NoReplaceSampler sampler(n);
            std::vector<std::uint64_t> sample, marks((n + 63) / 64);
            RLecuyerCmrgSeedCompat stream(seeds[c]);
            random_es[c].reserve(chunks[c]);
            for (std::uint64_t i = 0; i < chunks[c]; ++i) {
                if (i % kStopCheckEvery == 0 && i > 0) {
                    if (progress.stopped()) return;
                    progress.advance(kStopCheckEvery);
                }
                sampler.draw(stream, k, sample);
                for (auto& v : sample) --v;
                sort_distinct(sample, marks);
                random_es[c].push_back(calculate_es_velmo(weights, sample, n, score_type).es);
            }
        },
        progress);
    for (const auto& chunk : random_es) {
        for (double es : chunk) record.counts.add(es, observed);
    }
}

void permute_batch(Kept& kept, std::span<const double> weights, std::uint64_t nperm, std::uint64_t base_seed,
                   ScoreType score_type, Progress& progress) {
    std::vector<double> observed;
    std::vector<std::uint64_t> sizes;
    for (const EnrichmentResult& row : kept.rows) {
        observed.push_back(row.es);
        sizes.push_back(row.size);
    }
    // The scores are already weighted: the exponent applied here is 1.
    // Both forms give the same bits; the parallel one spreads the prefix
    // passes and the accumulation over the pool.
    const bool parallel = pool::thread_count() >= 2;
    const std::vector<PathwayAcc> counts =
        parallel ? calc_gsea_stat_cumulative_batch_f64_thread_invariant_parallel(weights, observed, sizes, nperm,
                                                                                 base_seed, score_type, 1.0, &progress)
                 : calc_gsea_stat_cumulative_batch_f64(weights, observed, sizes, nperm, base_seed, score_type, 1.0,
                                                       &progress);
    progress.throw_if_stopped();
    for (std::size_t i = 0; i < kept.size(); ++i) kept.tested[i].counts = counts[i];
}

std::optional<double> normalised_score(double es, ScoreType score_type, const PathwayAcc& c) {
    const double le_mean = c.le_zero_count > 0 ? c.le_zero_sum / static_cast<double>(c.le_zero_count) : 0.0;
    const double ge_mean = c.ge_zero_count > 0 ? c.ge_zero_sum / static_cast<double>(c.ge_zero_count) : 0.0;
    const bool up = score_type == ScoreType::Pos ? es >= 0.0 : es > 0.0;
    if (score_type != ScoreType::Neg && up && ge_mean != 0.0) return es / ge_mean;
    if (score_type != ScoreType::Pos && es <= 0.0 && le_mean != 0.0) return es / std::fabs(le_mean);
    return std::nullopt;
}

// Turns the counts into NES, p-value and log2err, and records each
// pathway's counts on its own side for the multilevel stage.
void permutation_statistics(Kept& kept, std::uint64_t nperm, ScoreType score_type, bool run_multilevel) {
    for (std::size_t i = 0; i < kept.size(); ++i) {
        const PathwayAcc& c = kept.tested[i].counts;
        EnrichmentResult& w = kept.rows[i];
        SideCounts& side = kept.sides[i];
        w.nes = normalised_score(w.es, score_type, c);
        if (w.nes) {
            w.pval = std::min(static_cast<double>(c.le_count + 1) / static_cast<double>(c.le_zero_count + 1),
                              static_cast<double>(c.ge_count + 1) / static_cast<double>(c.ge_zero_count + 1));
        }
        switch (score_type) {
            case ScoreType::Pos: side = {c.ge_count, c.ge_zero_count}; break;
            case ScoreType::Neg: side = {c.le_count, c.le_zero_count}; break;
            default: side = {w.es > 0.0 ? c.ge_count : c.le_count, w.es < 0.0 ? c.le_zero_count : c.ge_zero_count};
        }
        if (std::isfinite(w.pval) && nperm > 0) {
            w.log2err = std::sqrt(special::trigamma(static_cast<double>(side.n_more_extreme) + 1.0) -
                                  special::trigamma(static_cast<double>(nperm) + 1.0)) *
                        std::numbers::log2e;  // the error of ln p as one of log2 p
        }
        if (run_multilevel && side.n_same_sign < kMinSameSign) {
            w.pval = std::numeric_limits<double>::quiet_NaN();
            w.nes.reset();
            w.log2err.reset();
        }
    }
}

bool name_less(const std::string& a, const std::string& b) {
    // Byte-wise, as unsigned values; a prefix sorts first.
    const int c = std::memcmp(a.data(), b.data(), std::min(a.size(), b.size()));
    return c != 0 ? c < 0 : a.size() < b.size();
}

// Leading edges, adjusted p-values and the order by pathway name.
std::vector<EnrichmentResult> result_records(Kept& kept, const RankedList& ranked, ScoreType score_type) {
    std::vector<EnrichmentResult> results = std::move(kept.rows);
    for (std::size_t i = 0; i < results.size(); ++i) {
        const Tested& t = kept.tested[i];
        results[i].leading_edge = leading_edge(t.hits, t.peak, score_type, ranked.genes(), results[i].es);
    }
    apply_bh_adjustment(results);
    std::stable_sort(results.begin(), results.end(), [](const EnrichmentResult& a, const EnrichmentResult& b) {
        return name_less(a.pathway, b.pathway);
    });
    return results;
}

}  // namespace

std::vector<EnrichmentResult> run_gsea_internal(const RankedList& ranked, const std::vector<Pathway>& pathways,
                                                const AnalysisOptions& options, ProgressObserver* observer) {
    const std::uint64_t n = ranked.size();
    const ScoreType score_type = options.score_type;
    const std::uint64_t nperm = options.nperm;
    Progress progress(observer);
    GenePositions gene_positions;
    gene_positions.reserve(n);
    for (std::uint64_t i = 0; i < n; ++i) gene_positions.insert_or_assign(ranked.genes()[i], i);

    warn_prepare_stats(ranked, score_type);

    const std::uint64_t min_size = std::max<std::uint64_t>(options.min_size, 1);
    const std::uint64_t max_size = n == 0 ? 0 : std::min<std::uint64_t>(options.max_size, n - 1);
    const std::uint64_t sample_size = std::max<std::uint64_t>(options.sample_size, 1);
    const double eps = options.eps < 0.0 ? 0.0 : options.eps > 1.0 ? 1.0 : options.eps;  // NaN stays NaN

    const PreparedRanks prepared = ranked.prepare(options.gsea_param);
    const std::vector<double> weights(prepared.scaled_weights.begin(), prepared.scaled_weights.end());

    progress.begin(Stage::Permutations, nperm);
    Kept kept = tested_pathways(pathways, gene_positions, weights, min_size, max_size, score_type, progress);
    logging::log(Level::Trace, kLog, __LINE__, "stage done: pathway records");  // for a profiling sink

    // Permutation stage: every analysis seeds the main stream and draws the
    // base seed, whether or not permutations follow.
    RMt19937SeedCompat main_stream(options.seed);
    const std::uint64_t base_seed = main_stream.draw_seed();
    if (logging::enabled(Level::Debug))
        logging::log(Level::Debug, kLog, __LINE__, "base seed " + std::to_string(base_seed));
    if (nperm > 0 && kept.size() == 1) {
        permute_single_pathway(kept.tested[0], kept.rows[0].es, weights, nperm, base_seed, options.run_multilevel,
                               score_type, main_stream, progress);
    } else if (nperm > 0 && kept.size() >= 2) {
        permute_batch(kept, weights, nperm, base_seed, score_type, progress);
    }
    progress.finish();
    progress.throw_if_stopped();
    permutation_statistics(kept, nperm, score_type, options.run_multilevel);
    logging::log(Level::Trace, kLog, __LINE__, "stage done: permutations");

    if (options.run_multilevel && nperm > 0 && kept.size() > 0) {
        const RefinementSettings refinement{nperm, score_type, sample_size, eps, options.refine_all};
        const double work =
            refine_multilevel(kept.rows, kept.sides, refinement, prepared.scaled_weights, main_stream, progress);
        if (options.settle_cut) {
            settle_calls(kept.rows, kept.sides, refinement, *options.settle_cut, options.settle_budget * work,
                         prepared.scaled_weights, main_stream, progress);
        }
    }
    logging::log(Level::Trace, kLog, __LINE__, "stage done: multilevel");

    std::vector<EnrichmentResult> results = result_records(kept, ranked, score_type);
    logging::log(Level::Trace, kLog, __LINE__, "stage done: finishing");
    return results;
}

AnalysisOptions options_for(InterfaceMode mode, std::optional<std::uint64_t> nperm, std::uint64_t n_perm_simple) {
    AnalysisOptions options;
    options.run_multilevel = mode == InterfaceMode::Multilevel || (mode == InterfaceMode::Velmo && !nperm);
    options.nperm = options.run_multilevel ? n_perm_simple : nperm.value_or(n_perm_simple);
    return options;
}

namespace {

// The entry operations differ only in the mode they ask for.
std::vector<EnrichmentResult> run_entry(InterfaceMode mode, const RankedList& ranked,
                                        const std::vector<Pathway>& pathways, std::optional<std::uint64_t> nperm,
                                        std::uint64_t n_perm_simple, std::uint64_t seed, std::uint64_t min_size,
                                        std::uint64_t max_size, ScoreType score_type, double eps, double gsea_param,
                                        std::uint64_t sample_size) {
    AnalysisOptions options = options_for(mode, nperm, n_perm_simple);
    options.seed = seed;
    options.min_size = min_size;
    options.max_size = max_size;
    options.score_type = score_type;
    options.eps = eps;
    options.gsea_param = gsea_param;
    options.sample_size = sample_size;
    return run_gsea_internal(ranked, pathways, options);
}

}  // namespace

std::vector<EnrichmentResult> velmo_simple_with_sample_size(const RankedList& ranked,
                                                            const std::vector<Pathway>& pathways, std::uint64_t nperm,
                                                            std::uint64_t seed, std::uint64_t min_size,
                                                            std::uint64_t max_size, ScoreType score_type, double eps,
                                                            double gsea_param, std::uint64_t sample_size) {
    return run_entry(InterfaceMode::Simple, ranked, pathways, nperm, nperm, seed, min_size, max_size, score_type, eps,
                     gsea_param, sample_size);
}

std::vector<EnrichmentResult> velmo_multilevel_with_sample_size(const RankedList& ranked,
                                                                const std::vector<Pathway>& pathways,
                                                                std::uint64_t n_perm_simple, std::uint64_t seed,
                                                                std::uint64_t min_size, std::uint64_t max_size,
                                                                ScoreType score_type, double eps, double gsea_param,
                                                                std::uint64_t sample_size) {
    return run_entry(InterfaceMode::Multilevel, ranked, pathways, std::nullopt, n_perm_simple, seed, min_size, max_size,
                     score_type, eps, gsea_param, sample_size);
}

std::vector<EnrichmentResult> velmo_with_sample_size(const RankedList& ranked, const std::vector<Pathway>& pathways,
                                                     std::optional<std::uint64_t> nperm, std::uint64_t n_perm_simple,
                                                     std::uint64_t seed, std::uint64_t min_size, std::uint64_t max_size,
                                                     ScoreType score_type, double eps, double gsea_param,
                                                     std::uint64_t sample_size) {
    return run_entry(InterfaceMode::Velmo, ranked, pathways, nperm, n_perm_simple, seed, min_size, max_size, score_type,
                     eps, gsea_param, sample_size);
}

}  // namespace rsvelmo
