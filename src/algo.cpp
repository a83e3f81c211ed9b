#include "algo.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <map>

#include "algo_support.hpp"
#include "internal/driver_detail.hpp"
#include "internal/special.hpp"
#include "logging.hpp"
#include "multilevel.hpp"
#include "orvane_compat.hpp"
#include "pool.hpp"
#include "rng_compat.hpp"

namespace rsvelmo {

EsPeak calculate_es_velmo(std::span<const double> weights, std::span<const std::uint64_t> positions,
                          std::uint64_t n, ScoreType score_type) {
    const std::size_t k = positions.size();
    if (k == 0) return {0.0, 0};
    if (n - k == 0) return {0.0, positions[0]};

    const double misses_total = static_cast<double>(n - k);
    double hit_total = 0.0;
    for (std::uint64_t p : positions) hit_total += std::fabs(weights[p]);

    double max_top = -std::numeric_limits<double>::infinity();
    double min_bottom = std::numeric_limits<double>::infinity();
    std::size_t max_index = 0, min_index = 0;
    const auto visit = [&](std::size_t j, double top, double bottom) {
        if (top > max_top) {
            max_top = top;
            max_index = j;
        }
        if (bottom < min_bottom) {
            min_bottom = bottom;
            min_index = j;
        }
    };
    if (hit_total != 0.0) {
        double running = 0.0;
        for (std::size_t j = 0; j < k; ++j) {
            const double w = std::fabs(weights[positions[j]]);
            running += w;
            // Both quotients are formed before the subtraction, and the bottom
            // is derived from the top, so every route to a score agrees.
            const double top = running / hit_total - static_cast<double>(positions[j] - j) / misses_total;
            visit(j, top, top - w / hit_total);
        }
    } else {
        // Every hit weighs zero: walk with equal steps of 1/k instead.
        const double kd = static_cast<double>(k);
        const double step = 1.0 / kd;
        for (std::size_t j = 0; j < k; ++j) {
            const double top =
                static_cast<double>(j + 1) / kd - static_cast<double>(positions[j] - j) / misses_total;
            visit(j, top, top - step);
        }
    }

    switch (score_type) {
        case ScoreType::Pos: return {max_top, positions[max_index]};
        case ScoreType::Neg: return {min_bottom, positions[min_index]};
        case ScoreType::Std: break;
    }
    if (max_top == -min_bottom) return {0.0, positions[0]};
    if (max_top > -min_bottom) return {max_top, positions[max_index]};
    return {min_bottom, positions[min_index]};
}

namespace {

// R's sample.int(1e9, 1): the draw that seeds every derived stream.
constexpr std::uint64_t kSeedRange = 1000000000;
// log2(e): turns the standard error of ln p into one of log2 p.
constexpr double kLog2E = 1.4426950408889634;
constexpr double kLn2 = 0.6931471805599453;
// Single-pathway permutations are drawn in chunks of at least this many,
// one L'Ecuyer stream per chunk.
constexpr std::uint64_t kMinChunk = 1000;
constexpr std::uint64_t kMaxChunks = 128;
// Fewer random sets than this on a pathway's side give no usable estimate.
constexpr std::uint64_t kMinSameSign = 10;

struct Working {
    std::optional<double> nes;
    std::optional<double> log2err;
    std::string pathway;
    std::vector<std::uint64_t> hits;
    double es = 0.0;
    double multilevel_es = 0.0;
    std::uint64_t peak = 0;
    PathwayAcc counts;
    double pval = std::numeric_limits<double>::quiet_NaN();
    std::uint64_t size() const { return hits.size(); }
};

struct SideCounts {
    std::vector<std::uint64_t> n_more_extreme;
    std::vector<std::uint64_t> n_same_sign;
};

void debug(std::uint32_t line, std::string message) {
    if (!logging::enabled(logging::Level::Debug)) return;
    logging::emit({logging::Level::Debug, "rsvelmo::algo", "rsvelmo::algo", "src/algo.cpp", line, std::move(message)});
}

// Trace-level marks at the end of each stage, for a profiling sink.
void stage_done(std::uint32_t line, const char* stage) {
    if (!logging::enabled(logging::Level::Trace)) return;
    logging::emit({logging::Level::Trace, "rsvelmo::algo", "rsvelmo::algo", "src/algo.cpp", line,
                   std::string("stage done: ") + stage});
}

std::uint64_t draw_seed(RMt19937SeedCompat& main_stream) { return main_stream.r_unif_index(kSeedRange) + 1; }

void permute_single_pathway(Working& record, std::span<const double> weights, std::uint64_t nperm,
                            std::uint64_t base_seed, bool run_multilevel, ScoreType score_type,
                            RMt19937SeedCompat& main_stream) {
    const std::vector<std::uint64_t> chunks = driver::single_pathway_chunks(nperm, run_multilevel);
    std::vector<std::uint64_t> seeds{base_seed};
    for (std::size_t c = 1; c < chunks.size(); ++c) seeds.push_back(draw_seed(main_stream));
    for (std::size_t c = 0; c < chunks.size(); ++c) {
        debug(__LINE__, "chunk " + std::to_string(c) + ": " + std::to_string(chunks[c]) + " permutations, seed " +
                            std::to_string(seeds[c]));
    }

    // Every chunk has its own stream, so chunks can run at once; their random
    // scores are kept and added in permutation order.
    const std::uint64_t n = weights.size();
    std::vector<std::vector<double>> random_es(chunks.size());
    const auto run_chunk = [&](std::size_t c) {
        NoReplaceSampler sampler(n);
        std::vector<std::uint64_t> sample;
        RLecuyerCmrgSeedCompat stream(seeds[c]);
        random_es[c].reserve(chunks[c]);
        for (std::uint64_t i = 0; i < chunks[c]; ++i) {
            sampler.draw(stream, record.size(), sample);
            for (auto& v : sample) --v;
            std::sort(sample.begin(), sample.end());
            random_es[c].push_back(calculate_es_velmo(weights, sample, n, score_type).es);
        }
    };
    if (pool::thread_count() >= 2 && chunks.size() >= 2) {
        pool::run(chunks.size(), run_chunk);
    } else {
        for (std::size_t c = 0; c < chunks.size(); ++c) run_chunk(c);
    }
    for (const auto& chunk : random_es) {
        for (double es : chunk) record.counts.add(es, record.es);
    }
}

void permute_batch(std::vector<Working>& kept, std::span<const double> weights, std::uint64_t nperm,
                   std::uint64_t base_seed, ScoreType score_type) {
    std::vector<double> observed;
    std::vector<std::uint64_t> sizes;
    for (const Working& w : kept) {
        observed.push_back(w.es);
        sizes.push_back(w.size());
    }
    // The scores are already weighted: the exponent applied here is 1.
    // Both forms give the same bits; the parallel one spreads the prefix
    // passes and the accumulation over the pool.
    const bool parallel = pool::thread_count() >= 2;
    const BatchCounts c =
        parallel ? calc_gsea_stat_cumulative_batch_f64_thread_invariant_parallel(weights, observed, sizes, nperm,
                                                                                 base_seed, score_type, 1.0)
                 : calc_gsea_stat_cumulative_batch_f64(weights, observed, sizes, nperm, base_seed, score_type, 1.0);
    for (std::size_t i = 0; i < kept.size(); ++i) {
        kept[i].counts = {c.le_count[i],      c.ge_count[i],    c.le_zero_count[i],
                          c.ge_zero_count[i], c.le_zero_sum[i], c.ge_zero_sum[i]};
    }
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
SideCounts permutation_statistics(std::vector<Working>& kept, std::uint64_t nperm, ScoreType score_type,
                                  bool run_multilevel) {
    SideCounts sides;
    for (Working& w : kept) {
        const PathwayAcc& c = w.counts;
        w.nes = normalised_score(w.es, score_type, c);
        if (w.nes) {
            w.pval = std::min(static_cast<double>(c.le_count + 1) / static_cast<double>(c.le_zero_count + 1),
                              static_cast<double>(c.ge_count + 1) / static_cast<double>(c.ge_zero_count + 1));
        }
        std::uint64_t more_extreme, same_sign;
        switch (score_type) {
            case ScoreType::Pos: more_extreme = c.ge_count; same_sign = c.ge_zero_count; break;
            case ScoreType::Neg: more_extreme = c.le_count; same_sign = c.le_zero_count; break;
            default:
                more_extreme = w.es > 0.0 ? c.ge_count : c.le_count;
                same_sign = w.es < 0.0 ? c.le_zero_count : c.ge_zero_count;
        }
        sides.n_more_extreme.push_back(more_extreme);
        sides.n_same_sign.push_back(same_sign);
        if (std::isfinite(w.pval) && nperm > 0) {
            w.log2err = std::sqrt(special::trigamma(static_cast<double>(more_extreme) + 1.0) -
                                  special::trigamma(static_cast<double>(nperm) + 1.0)) *
                        kLog2E;
        }
        if (run_multilevel && same_sign < kMinSameSign) {
            w.pval = std::numeric_limits<double>::quiet_NaN();
            w.nes.reset();
            w.log2err.reset();
        }
    }
    return sides;
}

void multilevel_stage(std::vector<Working>& kept, const SideCounts& sides, std::uint64_t nperm,
                      ScoreType score_type, std::span<const std::int64_t> scaled_weights,
                      std::uint64_t sample_size, double eps, RMt19937SeedCompat& main_stream) {
    std::map<std::uint64_t, std::vector<std::size_t>> groups;  // ascending size
    for (std::size_t i = 0; i < kept.size(); ++i) {
        if (!std::isfinite(kept[i].pval)) continue;
        if (!should_refine_multilevel(sides.n_more_extreme[i], sides.n_same_sign[i], nperm, sample_size,
                                      kept[i].pval)) {
            continue;
        }
        groups[kept[i].size()].push_back(i);
    }
    if (groups.empty()) return;
    // These draws keep the seed of the multilevel stage where it has always
    // been in the main stream; their values are not used.
    for (std::uint64_t g = groups.size(); g >= 1; --g) (void)main_stream.r_unif_index(g);
    const std::uint64_t multilevel_seed = draw_seed(main_stream);
    debug(__LINE__, "multilevel seed " + std::to_string(multilevel_seed) + " for " + std::to_string(groups.size()) +
                        " groups");

    const auto same_sign_share = [&](std::size_t i) {
        return static_cast<double>(sides.n_same_sign[i] + 1) / static_cast<double>(nperm + 1);
    };
    std::vector<const std::pair<const std::uint64_t, std::vector<std::size_t>>*> jobs;
    for (const auto& group : groups) jobs.push_back(&group);
    std::vector<std::vector<double>> scores(jobs.size());
    std::vector<double> group_eps(jobs.size());
    std::vector<std::vector<MultilevelPvalue>> results(jobs.size());
    for (std::size_t g = 0; g < jobs.size(); ++g) {
        double smallest_share = std::numeric_limits<double>::infinity();
        for (std::size_t i : jobs[g]->second) {
            smallest_share = std::min(smallest_share, same_sign_share(i));
            scores[g].push_back(kept[i].multilevel_es);
        }
        group_eps[g] = eps * smallest_share;
        results[g].assign(scores[g].size(), MultilevelPvalue{1.0, true, 0.0});
    }

    // The two sides of every group are independent estimators: one task
    // each, each writing only its side's slots of its group's results. The
    // longest tasks start first, so that none is left running alone at the
    // end. An estimator runs about one level per halving of the p-value,
    // each level costing about k^1.5 for pathways of size k; p-values below
    // what the permutations resolve are guessed from the NES.
    const std::vector<std::int64_t> top = side_weights(scaled_weights, Side::Positive);
    const std::vector<std::int64_t> bottom = side_weights(scaled_weights, Side::Negative);
    struct Task {
        std::size_t group;
        Side side;
        double cost;
    };
    std::vector<Task> tasks;
    for (std::size_t g = jobs.size(); g-- > 0;) {
        for (Side side : {Side::Positive, Side::Negative}) {
            if (!side_has_scores(side, scores[g])) continue;
            double depth = 0.0;
            for (std::size_t i : jobs[g]->second) {
                const Working& w = kept[i];
                if (!answers(side, w.multilevel_es)) continue;
                double d = -std::log2(w.pval);
                if (sides.n_more_extreme[i] == 0 && w.nes) d = std::max(d, 3.5 * *w.nes * *w.nes);
                depth = std::max(depth, d);
            }
            tasks.push_back({g, side, std::pow(static_cast<double>(jobs[g]->first), 1.5) * (1.0 + depth)});
        }
    }
    std::stable_sort(tasks.begin(), tasks.end(), [](const Task& a, const Task& b) { return a.cost > b.cost; });
    const auto run_task = [&](std::size_t t) {
        const std::size_t g = tasks[t].group;
        const Side side = tasks[t].side;
        run_multilevel_side(side, side == Side::Positive ? top : bottom, group_eps[g], jobs[g]->first, scores[g],
                            score_type, sample_size, multilevel_seed, results[g]);
    };
    if (pool::thread_count() >= 2 && tasks.size() >= 2) {
        pool::run(tasks.size(), run_task);
    } else {
        for (std::size_t t = 0; t < tasks.size(); ++t) run_task(t);
    }

    const double sample_d = static_cast<double>(sample_size);
    const double trigamma_gap = special::trigamma((sample_d + 1.0) * 0.5) - special::trigamma(sample_d + 1.0);
    for (std::size_t g = 0; g < jobs.size(); ++g) {
        const auto& members = jobs[g]->second;
        for (std::size_t m = 0; m < members.size(); ++m) {
            Working& w = kept[members[m]];
            const MultilevelPvalue& r = results[g][m];
            // A failed estimate says nothing about the pathway: keep the
            // permutation result rather than reporting p = 1.
            if (std::isnan(r.pvalue)) continue;
            const double quotient = r.pvalue / same_sign_share(members[m]);
            w.pval = std::isnan(quotient) ? 1.0 : std::min(quotient, 1.0);
            if (w.pval < eps) {
                w.pval = eps;
                w.log2err.reset();
            } else if (!r.flag) {
                w.log2err.reset();
            } else if (std::isfinite(w.pval) && w.pval > 0.0) {
                w.log2err = std::sqrt(std::floor(1.0 - std::log2(w.pval)) * trigamma_gap) / kLn2;
            } else {
                w.log2err = std::numeric_limits<double>::quiet_NaN();
            }
        }
    }
}

bool name_less(const std::string& a, const std::string& b) {
    // Byte-wise, as unsigned values; a prefix sorts first.
    const int c = std::memcmp(a.data(), b.data(), std::min(a.size(), b.size()));
    return c != 0 ? c < 0 : a.size() < b.size();
}

}  // namespace

std::vector<std::uint64_t> driver::single_pathway_chunks(std::uint64_t nperm, bool run_multilevel) {
    if (run_multilevel) return {nperm};
    const std::uint64_t full = std::max<std::uint64_t>((nperm + kMaxChunks - 1) / kMaxChunks, kMinChunk);
    std::vector<std::uint64_t> chunks;
    std::uint64_t rest = nperm;
    for (; rest >= full; rest -= full) chunks.push_back(full);
    if (rest > 0) chunks.push_back(rest);
    return chunks;
}

std::vector<EnrichmentResult> run_gsea_internal(const RankedList& ranked, const std::vector<Pathway>& pathways,
                                                std::uint64_t nperm, std::uint64_t seed, std::uint64_t min_size,
                                                std::uint64_t max_size, ScoreType score_type,
                                                bool run_multilevel, double eps, double gsea_param,
                                                std::uint64_t sample_size) {
    const std::uint64_t n = ranked.size();
    GenePositions gene_positions;
    gene_positions.reserve(n);
    for (std::uint64_t i = 0; i < n; ++i) gene_positions.insert_or_assign(ranked.genes()[i], i);

    warn_prepare_stats(ranked, score_type);

    const std::uint64_t eff_min = std::max<std::uint64_t>(min_size, 1);
    const std::uint64_t eff_max = n == 0 ? 0 : std::min<std::uint64_t>(max_size, n - 1);
    const std::uint64_t eff_sample_size = std::max<std::uint64_t>(sample_size, 1);
    const double eff_eps = eps < 0.0 ? 0.0 : eps > 1.0 ? 1.0 : eps;  // NaN stays NaN

    const PreparedRanks prepared = ranked.prepare(gsea_param);
    const std::vector<double> weights(prepared.scaled_weights.begin(), prepared.scaled_weights.end());

    // Per-pathway records, one task per pathway, gathered in pathway order.
    std::vector<std::optional<Working>> slots(pathways.size());
    pool::run(pathways.size(), [&](std::size_t i) {
        std::vector<std::uint64_t> hits = extract_pathway_hits(pathways[i], gene_positions);
        if (hits.size() < eff_min || hits.size() > eff_max) return;
        const EsPeak es = calculate_es_velmo(weights, hits, n, score_type);
        Working w;
        w.pathway = pathways[i].name;
        w.hits = std::move(hits);
        w.es = es.es;
        w.multilevel_es = es.es;
        w.peak = es.peak;
        slots[i] = std::move(w);
    });
    std::vector<Working> kept;
    for (auto& slot : slots) {
        if (slot) kept.push_back(std::move(*slot));
    }
    slots.clear();
    stage_done(__LINE__, "pathway records");

    // Permutation stage: every analysis seeds the main stream and draws the
    // base seed, whether or not permutations follow.
    RMt19937SeedCompat main_stream(seed);
    const std::uint64_t base_seed = draw_seed(main_stream);
    debug(__LINE__, "base seed " + std::to_string(base_seed));
    if (nperm > 0 && kept.size() == 1) {
        permute_single_pathway(kept[0], weights, nperm, base_seed, run_multilevel, score_type, main_stream);
    } else if (nperm > 0 && kept.size() >= 2) {
        permute_batch(kept, weights, nperm, base_seed, score_type);
    }
    const SideCounts sides = permutation_statistics(kept, nperm, score_type, run_multilevel);
    stage_done(__LINE__, "permutations");

    if (run_multilevel && nperm > 0 && !kept.empty()) {
        multilevel_stage(kept, sides, nperm, score_type, prepared.scaled_weights, eff_sample_size, eff_eps,
                         main_stream);
    }
    stage_done(__LINE__, "multilevel");

    std::vector<EnrichmentResult> results;
    results.reserve(kept.size());
    for (Working& w : kept) {
        EnrichmentResult r;
        r.leading_edge = leading_edge(w.hits, w.peak, score_type, ranked.genes(), w.es);
        r.pathway = std::move(w.pathway);
        r.size = w.size();
        r.es = w.es;
        r.nes = w.nes;
        r.pval = w.pval;
        r.log2err = w.log2err;
        results.push_back(std::move(r));
    }
    apply_bh_adjustment(results);
    std::stable_sort(results.begin(), results.end(),
                     [](const EnrichmentResult& a, const EnrichmentResult& b) { return name_less(a.pathway, b.pathway); });
    stage_done(__LINE__, "finishing");
    return results;
}

std::vector<EnrichmentResult> velmo_simple_with_sample_size(
    const RankedList& ranked, const std::vector<Pathway>& pathways, std::uint64_t nperm, std::uint64_t seed,
    std::uint64_t min_size, std::uint64_t max_size, ScoreType score_type, double eps, double gsea_param,
    std::uint64_t sample_size) {
    return run_gsea_internal(ranked, pathways, nperm, seed, min_size, max_size, score_type, false, eps, gsea_param,
                             sample_size);
}

std::vector<EnrichmentResult> velmo_multilevel_with_sample_size(
    const RankedList& ranked, const std::vector<Pathway>& pathways, std::uint64_t n_perm_simple,
    std::uint64_t seed, std::uint64_t min_size, std::uint64_t max_size, ScoreType score_type, double eps,
    double gsea_param, std::uint64_t sample_size) {
    return run_gsea_internal(ranked, pathways, n_perm_simple, seed, min_size, max_size, score_type, true, eps,
                             gsea_param, sample_size);
}

std::vector<EnrichmentResult> velmo_with_sample_size(const RankedList& ranked, const std::vector<Pathway>& pathways,
                                                     std::optional<std::uint64_t> nperm,
                                                     std::uint64_t n_perm_simple, std::uint64_t seed,
                                                     std::uint64_t min_size, std::uint64_t max_size,
                                                     ScoreType score_type, double eps, double gsea_param,
                                                     std::uint64_t sample_size) {
    if (nperm) {
        return velmo_simple_with_sample_size(ranked, pathways, *nperm, seed, min_size, max_size, score_type, eps,
                                             gsea_param, sample_size);
    }
    return velmo_multilevel_with_sample_size(ranked, pathways, n_perm_simple, seed, min_size, max_size, score_type,
                                             eps, gsea_param, sample_size);
}

}  // namespace rsvelmo
