#include "multilevel.hpp"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <map>
#include <optional>
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
// estimator formed no level), the other slots are left alone. `positives`
// gets how many of its first, uniformly drawn sets score on its side.
void run_side(Side side, std::span<const std::int64_t> weights_of_side, double eps, std::uint64_t pathway_size,
              std::span<const double> scores, ScoreType score_type, std::uint64_t sample_size, std::uint64_t seed,
              std::span<double> out, std::uint64_t& positives, const Progress& progress) {
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
    if (!ruler.levels().empty()) {
        const esruler::Level& first = ruler.levels().front();
        const auto on_side = [](const esruler::SampleStat& stat) { return stat.positive; };
        positives = std::count_if(first.below.begin(), first.below.end(), on_side) +
                    std::count_if(first.above.begin(), first.above.end(), on_side);
    }

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

// What an estimator costs, in units that its sample size multiplies: it
// runs about one level per halving of the p-value (`depth` halvings), each
// level costing about k^1.5 for pathways of size k.
double estimator_cost(std::uint64_t pathway_size, double depth) {
    return std::pow(static_cast<double>(pathway_size), 1.5) * (1.0 + depth);
}

// How many halvings of the p-value the estimator of a row's side must run;
// p-values below what the permutations resolve are guessed from the NES.
double depth_of(const EnrichmentResult& r, const SideCounts& c) {
    double d = -std::log2(r.pval);
    if (c.n_more_extreme == 0 && r.nes) d = std::max(d, 3.5 * *r.nes * *r.nes);
    return d;
}

// The two sides of every group are independent estimators: one task each,
// each writing only its side's slots of its group's results. The longest
// tasks start first, so that none is left running alone at the end.
std::vector<EstimatorTask> schedule(const std::vector<const Groups::value_type*>& jobs,
                                    const std::vector<std::vector<double>>& scores,
                                    std::span<const EnrichmentResult> rows, std::span<const SideCounts> counts) {
    std::vector<EstimatorTask> tasks;
    for (std::size_t g = jobs.size(); g-- > 0;) {
        for (Side side : {Side::Positive, Side::Negative}) {
            if (!side_has_scores(side, scores[g])) continue;
            double depth = 0.0;
            for (std::size_t i : jobs[g]->second) {
                if (answers(side, rows[i].es)) depth = std::max(depth, depth_of(rows[i], counts[i]));
            }
            tasks.push_back({g, side, estimator_cost(jobs[g]->first, depth)});
        }
    }
    std::stable_sort(tasks.begin(), tasks.end(),
                     [](const EstimatorTask& a, const EstimatorTask& b) { return a.cost > b.cost; });
    return tasks;
}

// Writes an estimator's p-value, divided by the share of its side, into the
// pathway's row, with its error.
// An estimate that replaces an earlier one of the same row can instead be
// pooled with it: the two log2 p-values weighted by their inverse variances
// (a row without an error on either side, at eps say, keeps the new one).
enum class Earlier { Replace, Pool };

bool has_error(double pval, const std::optional<double>& err) {
    return pval > 0.0 && std::isfinite(pval) && err && *err > 0.0 && std::isfinite(*err);
}

void merge(EnrichmentResult& r, double estimate, double share, const RefinementSettings& s,
           Earlier earlier = Earlier::Replace) {
    // A failed estimate says nothing about the pathway: keep the
    // permutation result rather than reporting p = 1.
    if (std::isnan(estimate)) return;
    const double earlier_pval = r.pval;
    const std::optional<double> earlier_err = r.log2err;
    const double quotient = estimate / share;
    r.pval = std::isnan(quotient) ? 1.0 : std::min(quotient, 1.0);
    if (r.pval < s.eps) {
        r.pval = s.eps;
        r.log2err.reset();
    } else if (std::isfinite(r.pval) && r.pval > 0.0) {
        r.log2err = multilevel_log2err(std::log2(r.pval), s.sample_size);
    } else {
        r.log2err = std::numeric_limits<double>::quiet_NaN();
    }
    if (earlier == Earlier::Pool && has_error(earlier_pval, earlier_err) && has_error(r.pval, r.log2err)) {
        const double w_earlier = 1.0 / (*earlier_err * *earlier_err);
        const double w_now = 1.0 / (*r.log2err * *r.log2err);
        r.pval = std::exp2((w_earlier * std::log2(earlier_pval) + w_now * std::log2(r.pval)) / (w_earlier + w_now));
        r.log2err = 1.0 / std::sqrt(w_earlier + w_now);
    }
}

// What the estimators of a set of groups found: each group's p-values in
// member order, and per side how many of its first sets scored on that side.
struct Estimates {
    std::vector<std::vector<double>> pvalues;
    std::vector<std::array<std::uint64_t, 2>> positives;
    double cost = 0.0;  // of all the estimators, times the sample size
};

// The machine's memory in bytes (0 when unknown).
double physical_memory() {
    const long pages = ::sysconf(_SC_PHYS_PAGES);
    const long page = ::sysconf(_SC_PAGESIZE);
    return pages > 0 && page > 0 ? static_cast<double>(pages) * static_cast<double>(page) : 0.0;
}

// Refuses a sample whose estimator for the largest gene set cannot fit in
// the machine's memory even alone; what does fit may still run short when
// several run at once, which then fails on its own.
void check_sample_fits(const Groups& groups, std::uint64_t genes, std::uint64_t sample_size) {
    if (groups.empty()) return;
    const std::uint64_t largest = groups.rbegin()->first;  // the groups are ordered by size
    const double needed = EsRulerCompat::footprint(genes, sample_size, largest);
    const double memory = physical_memory();
    if (memory == 0.0 || needed <= memory) return;
    constexpr double kGiB = 1024.0 * 1024.0 * 1024.0;
    const auto gib = [](double bytes) { return std::to_string(static_cast<std::uint64_t>(std::ceil(bytes / kGiB))); };
    throw SampleTooLarge("a multilevel sample of " + std::to_string(sample_size) + " gene sets of " +
                         std::to_string(largest) + " among " + std::to_string(genes) + " genes needs at least " +
                         gib(needed) + " GiB, more than this machine's " + gib(memory) +
                         " GiB of memory; use a smaller sample size");
}

// Runs the estimators of every group on the pool, longest first, with one
// seed for all; throws Interrupted when the progress asks to stop.
Estimates run_groups(const Groups& groups, std::span<const EnrichmentResult> rows, std::span<const SideCounts> counts,
                     const RefinementSettings& settings, std::uint64_t seed,
                     std::span<const std::int64_t> scaled_weights, Progress& progress) {
    std::vector<const Groups::value_type*> jobs;
    for (const auto& group : groups) jobs.push_back(&group);
    std::vector<std::vector<double>> scores(jobs.size());
    std::vector<double> group_eps(jobs.size());
    Estimates found;
    found.pvalues.resize(jobs.size());
    found.positives.resize(jobs.size());
    for (std::size_t g = 0; g < jobs.size(); ++g) {
        double smallest_share = std::numeric_limits<double>::infinity();
        for (std::size_t i : jobs[g]->second) {
            smallest_share = std::min(smallest_share, same_sign_share(counts[i], settings.nperm));
            scores[g].push_back(rows[i].es);
        }
        group_eps[g] = settings.eps * smallest_share;
        found.pvalues[g].assign(scores[g].size(), 1.0);
    }

    check_sample_fits(groups, scaled_weights.size(), settings.sample_size);
    const std::vector<EstimatorTask> tasks = schedule(jobs, scores, rows, counts);
    for (const EstimatorTask& task : tasks) found.cost += task.cost * static_cast<double>(settings.sample_size);
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
                     settings.score_type, settings.sample_size, seed, found.pvalues[g],
                     found.positives[g][side == Side::Positive ? 0 : 1], progress);
            progress.advance(1);
        },
        [&] { progress.poll(); });
    progress.throw_if_stopped();
    progress.finish();
    progress.throw_if_stopped();
    return found;
}

// Merges every group's estimates into its rows, each divided by
// share(row, group): the share of random sets on the row's side.
template <class Share>
void merge_groups(const Groups& groups, const Estimates& found, std::span<EnrichmentResult> rows,
                  const RefinementSettings& settings, const Share& share, Earlier earlier = Earlier::Replace) {
    std::size_t g = 0;
    for (const auto& [size, members] : groups) {
        for (std::size_t m = 0; m < members.size(); ++m) {
            merge(rows[members[m]], found.pvalues[g][m], share(members[m], g), settings, earlier);
        }
        ++g;
    }
}

void log_seed(std::uint64_t seed, std::size_t groups, std::uint32_t line) {
    if (!logging::enabled(logging::Level::Debug)) return;
    logging::log(logging::Level::Debug, kLog, line,
                 "multilevel seed " + std::to_string(seed) + " for " + std::to_string(groups) + " groups");
}

}  // namespace

double refine_multilevel(std::span<EnrichmentResult> rows, std::span<const SideCounts> counts,
                         const RefinementSettings& settings, std::span<const std::int64_t> scaled_weights,
                         RMt19937SeedCompat& main_stream, Progress& progress) {
    const Groups groups = select_groups(rows, counts, settings);
    if (groups.empty()) return 0.0;
    // These draws keep the seed of the multilevel stage where it has always
    // been in the main stream; their values are not used.
    for (std::uint64_t g = groups.size(); g >= 1; --g) (void)main_stream.r_unif_index(g);
    const std::uint64_t seed = main_stream.draw_seed();
    log_seed(seed, groups.size(), __LINE__);

    const Estimates found = run_groups(groups, rows, counts, settings, seed, scaled_weights, progress);
    merge_groups(groups, found, rows, settings,
                 [&](std::size_t i, std::size_t) { return same_sign_share(counts[i], settings.nperm); });
    return found.cost;
}

namespace {

// Rounds of settling, each with four times the sample of the one before,
// until the calls are settled or the budget is spent.
constexpr int kSettleRounds = 4;
constexpr std::uint64_t kSampleGrowth = 4;

// Rows whose call the next round should settle, by size: the unsettled ones,
// nearest the cut (in standard errors) first, as long as the estimators
// they add fit the budget, which is lowered by what they cost.
Groups unsettled(std::span<const EnrichmentResult> rows, std::span<const SideCounts> counts, double boundary,
                 double eps, std::uint64_t sample_size, double& budget) {
    std::vector<std::pair<double, std::size_t>> open;  // (distance in errors, row)
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const EnrichmentResult& r = rows[i];
        if (!std::isfinite(r.pval) || r.pval <= eps || !r.log2err || !(*r.log2err > 0.0)) continue;
        const double distance = std::fabs(std::log2(r.pval) - std::log2(boundary)) / *r.log2err;
        if (distance < kSettledAt) open.emplace_back(distance, i);
    }
    std::sort(open.begin(), open.end());
    // The estimators so far, by size and side, with the depth they run to.
    std::map<std::pair<std::uint64_t, bool>, double> depths;
    Groups groups;
    for (const auto& [distance, i] : open) {
        const EnrichmentResult& r = rows[i];
        const auto [at, added] = depths.try_emplace({r.size, answers(Side::Positive, r.es)}, 0.0);
        const double before = added ? 0.0 : estimator_cost(r.size, at->second);
        const double depth = std::max(at->second, depth_of(r, counts[i]));
        const double extra = (estimator_cost(r.size, depth) - before) * static_cast<double>(sample_size);
        if (extra > budget) break;
        budget -= extra;
        at->second = depth;
        groups[r.size].push_back(i);
    }
    for (auto& [size, members] : groups) std::sort(members.begin(), members.end());
    return groups;
}

}  // namespace

double call_boundary(std::span<const EnrichmentResult> rows, double cut) {
    std::vector<double> pvals;
    for (const EnrichmentResult& r : rows) {
        if (std::isfinite(r.pval)) pvals.push_back(r.pval);
    }
    std::sort(pvals.begin(), pvals.end());
    const auto n = static_cast<double>(rows.size());
    std::size_t last = 1;
    for (std::size_t rank = 1; rank <= pvals.size(); ++rank) {
        if ((pvals[rank - 1] * n) / static_cast<double>(rank) < cut) last = rank;
    }
    return cut * static_cast<double>(last) / std::max(n, 1.0);
}

std::optional<double> flip_risk(const EnrichmentResult& row, double boundary) {
    if (std::isnan(row.pval)) return std::nullopt;
    if (!row.log2err || !(*row.log2err > 0.0)) return 0.0;  // at eps: no error, no risk
    const double distance = std::fabs(std::log2(row.pval) - std::log2(boundary)) / *row.log2err;
    return 0.5 * std::erfc(distance / std::sqrt(2.0));
}

void settle_calls(std::span<EnrichmentResult> rows, std::span<const SideCounts> counts,
                  const RefinementSettings& settings, double cut, double budget,
                  std::span<const std::int64_t> scaled_weights, RMt19937SeedCompat& main_stream, Progress& progress) {
    RefinementSettings round = settings;
    for (int r = 0; r < kSettleRounds; ++r) {
        round.sample_size *= kSampleGrowth;
        const Groups groups =
            unsettled(rows, counts, call_boundary(rows, cut), settings.eps, round.sample_size, budget);
        if (groups.empty()) return;
        const std::uint64_t seed = main_stream.draw_seed();
        log_seed(seed, groups.size(), __LINE__);
        const Estimates found = run_groups(groups, rows, counts, round, seed, scaled_weights, progress);
        // With the two-sided score the side's share is estimated from the
        // permutations and the estimator's first sets together: the
        // permutations alone would bound the precision.
        merge_groups(
            groups, found, rows, round,
            [&](std::size_t i, std::size_t g) {
                if (settings.score_type != ScoreType::Std) return same_sign_share(counts[i], settings.nperm);
                const std::uint64_t positives = found.positives[g][answers(Side::Positive, rows[i].es) ? 0 : 1];
                return static_cast<double>(counts[i].n_same_sign + 1 + positives) /
                       static_cast<double>(settings.nperm + 1 + round.sample_size);
            },
            Earlier::Pool);
    }
}

}  // namespace rsvelmo
