#include "multilevel.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <string>

#include "algo_support.hpp"
#include "esruler_compat.hpp"
#include "logging.hpp"
#include "pool.hpp"

namespace rsvelmo {

namespace {

constexpr logging::Source kLog{"rsvelmo::multilevel", "src/multilevel.cpp"};

// The two independent halves of a group's work: the positive side answers
// the scores >= 0 from the top of the ranking, the negative side the others
// (NaN included) from the bottom.
enum class Side { Positive, Negative };

bool answers(Side side, double e) { return (e >= 0.0) == (side == Side::Positive); }

bool side_has_scores(Side side, std::span<const double> scores) {
    return std::any_of(scores.begin(), scores.end(), [side](double e) { return answers(side, e); });
}

// |weights| as the estimator of a side reads them: from the top, or from the
// bottom for the negative side.
std::vector<std::int64_t> side_weights(std::span<const std::int64_t> weights, Side side) {
    std::vector<std::int64_t> out(weights.size());
    for (std::size_t i = 0; i < weights.size(); ++i) out[i] = std::abs(weights[i]);
    if (side == Side::Negative) std::reverse(out.begin(), out.end());
    return out;
}

// A trace record of what an estimator drew: enough to replay its random
// words without the set work (bench/stages measures the floor with it).
void trace_estimator(const EsRulerCompat& ruler, std::uint64_t n, std::uint64_t pathway_size, std::uint64_t sample_size,
                     std::uint64_t seed) {
    if (!logging::enabled(logging::Level::Trace)) return;
    std::string message = "estimator n=" + std::to_string(n) + " k=" + std::to_string(pathway_size) +
                          " sample=" + std::to_string(sample_size) + " seed=" + std::to_string(seed) + " cuts=";
    for (const auto& level : ruler.levels()) message += std::to_string(level.below.size()) + ",";
    message += " passes=";
    for (const std::int64_t passes : ruler.pass_counts()) message += std::to_string(passes) + ",";
    logging::log(logging::Level::Trace, kLog, __LINE__, std::move(message));
}

// One side's estimator, run down to the most extreme score it answers; the
// p-values of its scores go into the matching slots of `out` (NaN where the
// estimator formed no level), the other slots are left alone.
void run_side(Side side, std::span<const std::int64_t> weights_of_side, double eps, std::uint64_t pathway_size,
              std::span<const double> scores, ScoreType score_type, std::uint64_t sample_size, std::uint64_t seed,
              std::span<double> out, const Progress& progress) {
    if (weights_of_side.empty() || pathway_size == 0) {
        for (std::size_t i = 0; i < scores.size(); ++i) {
            if (answers(side, scores[i])) out[i] = 1.0;
        }
        return;
    }
    EsRulerCompat ruler(weights_of_side, sample_size, pathway_size, 1.0);
    // A side holding only NaN scores is asked without having run.
    double extreme = -1.0;
    for (double e : scores) {
        if (answers(side, e) && !std::isnan(e)) extreme = std::max(extreme, std::fabs(e));
    }
    if (extreme >= 0.0) ruler.extend(seed, extreme, eps, &progress);
    if (progress.stopped()) return;
    trace_estimator(ruler, weights_of_side.size(), pathway_size, sample_size, seed);

    // One-sided score types count every set reaching |e|; the two-sided one
    // only sets whose signed score lies on the same side.
    const bool sign = score_type != ScoreType::Std;
    for (std::size_t i = 0; i < scores.size(); ++i) {
        if (answers(side, scores[i])) out[i] = ruler.get_pvalue(std::fabs(scores[i]), sign).pvalue;
    }
}

// Pathways to refine, grouped by size (ascending): one group shares its estimators.
using Groups = std::map<std::uint64_t, std::vector<std::size_t>>;

Groups select_groups(std::span<const EnrichmentResult> rows, std::span<const SideCounts> counts,
                     const RefinementSettings& s) {
    Groups groups;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        if (!std::isfinite(rows[i].pval)) continue;
        if (!s.refine_all && !should_refine_multilevel(counts[i].n_more_extreme, counts[i].n_same_sign, s.nperm,
                                                       s.sample_size, rows[i].pval)) {
            continue;
        }
        groups[rows[i].size].push_back(i);
    }
    return groups;
}

// The share of permutation scores on the pathway's side: the estimators
// answer within that side, so their p-values are divided by it.
double same_sign_share(const SideCounts& c, std::uint64_t nperm) {
    return static_cast<double>(c.n_same_sign + 1) / static_cast<double>(nperm + 1);
}

// One estimator: a group's side.
struct EstimatorTask {
    std::size_t group;
    Side side;
    double cost;
};

// The two sides of every group are independent estimators: one task each,
// each writing only its side's slots of its group's results. The longest
// tasks start first, so that none is left running alone at the end. An
// estimator runs about one level per halving of the p-value, each level
// costing about k^1.5 for pathways of size k; p-values below what the
// permutations resolve are guessed from the NES.
std::vector<EstimatorTask> schedule(const std::vector<const Groups::value_type*>& jobs,
                                    const std::vector<std::vector<double>>& scores,
                                    std::span<const EnrichmentResult> rows, std::span<const SideCounts> counts) {
    std::vector<EstimatorTask> tasks;
    for (std::size_t g = jobs.size(); g-- > 0;) {
        for (Side side : {Side::Positive, Side::Negative}) {
            if (!side_has_scores(side, scores[g])) continue;
            double depth = 0.0;
            for (std::size_t i : jobs[g]->second) {
                const EnrichmentResult& r = rows[i];
                if (!answers(side, r.es)) continue;
                double d = -std::log2(r.pval);
                if (counts[i].n_more_extreme == 0 && r.nes) d = std::max(d, 3.5 * *r.nes * *r.nes);
                depth = std::max(depth, d);
            }
            tasks.push_back({g, side, std::pow(static_cast<double>(jobs[g]->first), 1.5) * (1.0 + depth)});
        }
    }
    std::stable_sort(tasks.begin(), tasks.end(),
                     [](const EstimatorTask& a, const EstimatorTask& b) { return a.cost > b.cost; });
    return tasks;
}

// Writes an estimator's p-value into the pathway's row, with its error.
void merge(EnrichmentResult& r, double estimate, const SideCounts& counts, const RefinementSettings& s) {
    // A failed estimate says nothing about the pathway: keep the
    // permutation result rather than reporting p = 1.
    if (std::isnan(estimate)) return;
    const double quotient = estimate / same_sign_share(counts, s.nperm);
    r.pval = std::isnan(quotient) ? 1.0 : std::min(quotient, 1.0);
    if (r.pval < s.eps) {
        r.pval = s.eps;
        r.log2err.reset();
    } else if (std::isfinite(r.pval) && r.pval > 0.0) {
        r.log2err = multilevel_log2err(std::log2(r.pval), s.sample_size);
    } else {
        r.log2err = std::numeric_limits<double>::quiet_NaN();
    }
}

}  // namespace

void refine_multilevel(std::span<EnrichmentResult> rows, std::span<const SideCounts> counts,
                       const RefinementSettings& settings, std::span<const std::int64_t> scaled_weights,
                       RMt19937SeedCompat& main_stream, Progress& progress) {
    const Groups groups = select_groups(rows, counts, settings);
    if (groups.empty()) return;
    // These draws keep the seed of the multilevel stage where it has always
    // been in the main stream; their values are not used.
    for (std::uint64_t g = groups.size(); g >= 1; --g) (void)main_stream.r_unif_index(g);
    const std::uint64_t seed = main_stream.draw_seed();
    if (logging::enabled(logging::Level::Debug)) {
        logging::log(logging::Level::Debug, kLog, __LINE__,
                     "multilevel seed " + std::to_string(seed) + " for " + std::to_string(groups.size()) + " groups");
    }

    std::vector<const Groups::value_type*> jobs;
    for (const auto& group : groups) jobs.push_back(&group);
    std::vector<std::vector<double>> scores(jobs.size());
    std::vector<double> group_eps(jobs.size());
    std::vector<std::vector<double>> results(jobs.size());
    for (std::size_t g = 0; g < jobs.size(); ++g) {
        double smallest_share = std::numeric_limits<double>::infinity();
        for (std::size_t i : jobs[g]->second) {
            smallest_share = std::min(smallest_share, same_sign_share(counts[i], settings.nperm));
            scores[g].push_back(rows[i].es);
        }
        group_eps[g] = settings.eps * smallest_share;
        results[g].assign(scores[g].size(), 1.0);
    }

    const std::vector<EstimatorTask> tasks = schedule(jobs, scores, rows, counts);
    const std::vector<std::int64_t> top = side_weights(scaled_weights, Side::Positive);
    const std::vector<std::int64_t> bottom = side_weights(scaled_weights, Side::Negative);
    progress.begin(Stage::Multilevel, tasks.size());
    // Always on the pool, even with one worker: the calling thread stays free
    // to report progress and to notice a request to stop.
    pool::run(
        tasks.size(),
        [&](std::size_t t, std::size_t) {
            if (progress.stopped()) return;
            const std::size_t g = tasks[t].group;
            const Side side = tasks[t].side;
            run_side(side, side == Side::Positive ? top : bottom, group_eps[g], jobs[g]->first, scores[g],
                     settings.score_type, settings.sample_size, seed, results[g], progress);
            progress.advance(1);
        },
        [&] { progress.poll(); });
    progress.throw_if_stopped();
    progress.finish();
    progress.throw_if_stopped();

    for (std::size_t g = 0; g < jobs.size(); ++g) {
        const auto& members = jobs[g]->second;
        for (std::size_t m = 0; m < members.size(); ++m) {
            merge(rows[members[m]], results[g][m], counts[members[m]], settings);
        }
    }
}

}  // namespace rsvelmo
