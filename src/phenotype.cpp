#include "phenotype.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <string>

#include "phenotype_null.hpp"
#include "pool.hpp"
#include "rng_compat.hpp"

namespace rsvelmo::phenotype {

static_assert(std::numeric_limits<double>::is_iec559);

namespace {

// The published floor of a class's standard deviation: a fifth of |mean|,
// so that a gene with a tiny spread does not get a huge score, and 0.2 when
// that is 0 (a constant gene at 0).
constexpr double kSigmaShare = 0.2;
constexpr double kSigmaZero = 0.2;

bool needs_sd(Metric metric) { return metric == Metric::SignalToNoise || metric == Metric::TTest; }
bool is_ratio(Metric metric) { return metric == Metric::RatioOfClasses || metric == Metric::Log2RatioOfClasses; }

double floored_sd(double sd, double mean) {
    sd = std::max(sd, kSigmaShare * std::fabs(mean));
    return sd == 0.0 ? kSigmaZero : sd;
}

Error bad(const char* parameter, std::string message) { return Error::argument(parameter, std::move(message)); }

std::optional<Error> check_matrix(const Expression& x, Metric metric, std::size_t smaller_class) {
    for (std::size_t g = 0; g < x.genes; ++g) {
        const double* row = x.values + g * x.samples;
        std::size_t zeros = 0;
        for (std::size_t j = 0; j < x.samples; ++j) {
            const std::string where = "row " + std::to_string(g) + ", column " + std::to_string(j);
            if (!std::isfinite(row[j])) return bad("matrix", "matrix: the value at " + where + " is not finite");
            if (is_ratio(metric) && row[j] < 0.0) {
                return bad("matrix",
                           "matrix: the value at " + where + " is negative; a ratio metric needs values >= 0");
            }
            zeros += row[j] == 0.0;
        }
        // With values >= 0 a class mean is 0 only when all its values are:
        // possible under some assignment once a row has as many zeros as the
        // smaller class has samples.
        if (is_ratio(metric) && zeros >= smaller_class) {
            return bad("matrix", "matrix: row " + std::to_string(g) + " has " + std::to_string(zeros) +
                                     " zeros, so a class of " + std::to_string(smaller_class) +
                                     " samples can have mean 0 and a ratio metric is undefined");
        }
    }
    return std::nullopt;
}

std::optional<Error> check_sets(const std::vector<std::vector<std::uint32_t>>& sets, std::size_t genes) {
    std::vector<std::uint64_t> seen(genes, 0);  // the set (+1) that last named each row
    for (std::size_t s = 0; s < sets.size(); ++s) {
        const std::string which = "gene_sets: gene set " + std::to_string(s);
        if (sets[s].empty()) return bad("gene_sets", which + " is empty");
        if (sets[s].size() >= genes) {
            return bad("gene_sets", which + " has " + std::to_string(sets[s].size()) + " rows of " +
                                        std::to_string(genes) + "; a set needs a gene outside it");
        }
        for (std::uint32_t row : sets[s]) {
            if (row >= genes) {
                return bad("gene_sets", which + " names row " + std::to_string(row) + " of a matrix with " +
                                            std::to_string(genes) + " rows");
            }
            if (seen[row] == s + 1) return bad("gene_sets", which + " names row " + std::to_string(row) + " twice");
            seen[row] = s + 1;
        }
    }
    return std::nullopt;
}

}  // namespace

std::optional<Metric> parse_metric(std::string_view name) {
    if (name == "signal_to_noise") return Metric::SignalToNoise;
    if (name == "t_test") return Metric::TTest;
    if (name == "diff_of_classes") return Metric::DiffOfClasses;
    if (name == "ratio_of_classes") return Metric::RatioOfClasses;
    if (name == "log2_ratio_of_classes") return Metric::Log2RatioOfClasses;
    return std::nullopt;
}

std::optional<Permutations> parse_permutations(std::string_view name) {
    if (name == "auto") return Permutations::Auto;
    if (name == "exact") return Permutations::Exact;
    if (name == "random") return Permutations::Random;
    return std::nullopt;
}

std::uint64_t assignments(std::uint64_t n, std::uint64_t k) {
    if (k > n) return 0;
    k = std::min(k, n - k);
    unsigned __int128 c = 1;
    for (std::uint64_t i = 1; i <= k; ++i) {
        c = c * (n - k + i) / i;  // exact: c * (n - k + i) is divisible by i at every step
        if (c > std::numeric_limits<std::uint64_t>::max()) return std::numeric_limits<std::uint64_t>::max();
    }
    return static_cast<std::uint64_t>(c);
}

std::vector<std::uint8_t> exact_assignments(std::size_t samples, std::size_t class_a) {
    const std::uint64_t count = assignments(samples, class_a);
    std::vector<std::uint8_t> rows(count * samples, 0);
    std::vector<std::size_t> pick(class_a);
    for (std::size_t i = 0; i < class_a; ++i) pick[i] = i;
    for (std::uint64_t k = 0; k < count; ++k) {
        for (std::size_t i : pick) rows[k * samples + i] = 1;
        // The next combination: raise the rightmost position that can rise.
        std::size_t i = class_a;
        while (i > 0 && pick[i - 1] == samples - class_a + (i - 1)) --i;
        if (i == 0) break;
        ++pick[i - 1];
        for (std::size_t j = i; j < class_a; ++j) pick[j] = pick[j - 1] + 1;
    }
    return rows;
}

std::vector<std::uint8_t> random_assignments(std::span<const std::uint8_t> labels, std::uint64_t nperm,
                                             std::uint64_t seed) {
    const std::size_t n = labels.size();
    std::vector<std::uint8_t> rows(nperm * n);
    std::vector<std::size_t> pool(n);
    RMt19937SeedCompat rng(seed);
    for (std::uint64_t k = 0; k < nperm; ++k) {
        // R's sample.int(n) without replacement: draw a slot of the live
        // pool, take its value, move the last live value into it.
        for (std::size_t i = 0; i < n; ++i) pool[i] = i;
        std::size_t live = n;
        for (std::size_t i = 0; i < n; ++i) {
            const std::size_t j = rng.r_unif_index(live);
            rows[k * n + i] = labels[pool[j]];
            pool[j] = pool[--live];
        }
    }
    return rows;
}

Columns::Columns(const Expression& x) : values(x.genes * x.samples), genes(x.genes) {
    for (std::size_t g = 0; g < x.genes; ++g) {
        for (std::size_t j = 0; j < x.samples; ++j) values[j * x.genes + g] = x.values[g * x.samples + j];
    }
}

namespace {

// Genes a block of metric_into works on: its four running arrays (8 KiB)
// stay in the L1 cache while every sample's column streams through.
constexpr std::size_t kGeneBlock = 256;

// Adds the block's values of each sample of `samples` into acc, in sample
// order (each gene's own sum runs in the order of the definition).
void add_columns(const Columns& x, std::span<const std::uint32_t> samples, std::size_t first, std::size_t width,
                 double* acc) {
    std::fill(acc, acc + width, 0.0);
    for (std::uint32_t j : samples) {
        const double* column = x.values.data() + j * x.genes + first;
        for (std::size_t i = 0; i < width; ++i) acc[i] += column[i];
    }
}

void add_squares(const Columns& x, std::span<const std::uint32_t> samples, std::size_t first, std::size_t width,
                 const double* mean, double* acc) {
    std::fill(acc, acc + width, 0.0);
    for (std::uint32_t j : samples) {
        const double* column = x.values.data() + j * x.genes + first;
        for (std::size_t i = 0; i < width; ++i) {
            const double d = column[i] - mean[i];
            acc[i] += d * d;
        }
    }
}

}  // namespace

void metric_into(const Columns& x, const ClassIndex& classes, Metric metric, double* out) {
    const double na = static_cast<double>(classes.a.size());
    const double nb = static_cast<double>(classes.b.size());
    std::array<double, kGeneBlock> mean_a, mean_b, ss_a, ss_b;
    for (std::size_t first = 0; first < x.genes; first += kGeneBlock) {
        const std::size_t width = std::min(kGeneBlock, x.genes - first);
        double* result = out + first;
        add_columns(x, classes.a, first, width, mean_a.data());
        add_columns(x, classes.b, first, width, mean_b.data());
        for (std::size_t i = 0; i < width; ++i) {
            mean_a[i] /= na;
            mean_b[i] /= nb;
        }
        switch (metric) {
            case Metric::DiffOfClasses:
                for (std::size_t i = 0; i < width; ++i) result[i] = mean_a[i] - mean_b[i];
                continue;
            case Metric::RatioOfClasses:
                for (std::size_t i = 0; i < width; ++i) result[i] = mean_a[i] / mean_b[i];
                continue;
            case Metric::Log2RatioOfClasses:
                for (std::size_t i = 0; i < width; ++i) result[i] = std::log2(mean_a[i] / mean_b[i]);
                continue;
            case Metric::SignalToNoise:
            case Metric::TTest: break;
        }
        add_squares(x, classes.a, first, width, mean_a.data(), ss_a.data());
        add_squares(x, classes.b, first, width, mean_b.data(), ss_b.data());
        for (std::size_t i = 0; i < width; ++i) {
            const double sd_a = floored_sd(std::sqrt(ss_a[i] / (na - 1.0)), mean_a[i]);
            const double sd_b = floored_sd(std::sqrt(ss_b[i] / (nb - 1.0)), mean_b[i]);
            result[i] = metric == Metric::SignalToNoise
                            ? (mean_a[i] - mean_b[i]) / (sd_a + sd_b)
                            : (mean_a[i] - mean_b[i]) / std::sqrt(sd_a * sd_a / na + sd_b * sd_b / nb);
        }
    }
}

void ClassIndex::assign(std::span<const std::uint8_t> labels) {
    a.clear();
    b.clear();
    for (std::size_t j = 0; j < labels.size(); ++j) (labels[j] ? a : b).push_back(static_cast<std::uint32_t>(j));
}

std::vector<double> class_metric(const Expression& x, std::span<const std::uint8_t> labels, Metric metric) {
    ClassIndex classes;
    classes.assign(labels);
    std::vector<double> out(x.genes);
    metric_into(Columns(x), classes, metric, out.data());
    return out;
}

Result<Analysis> run(const Expression& x, std::span<const std::uint8_t> labels,
                     const std::vector<std::vector<std::uint32_t>>& gene_sets, const Settings& settings) {
    if (labels.size() != x.samples) {
        return bad("labels", "labels: " + std::to_string(labels.size()) + " labels for " + std::to_string(x.samples) +
                                 " samples");
    }
    std::size_t class_a = 0;
    for (std::uint8_t label : labels) {
        if (label > 1) return bad("labels", "labels: a label is neither 0 nor 1");
        class_a += label;
    }
    const std::size_t class_b = x.samples - class_a;
    const std::size_t least = needs_sd(settings.metric) ? 3 : 1;  // a standard deviation needs 3 to mean much
    if (std::min(class_a, class_b) < least) {
        return bad("labels", "labels: the classes have " + std::to_string(class_a) + " and " + std::to_string(class_b) +
                                 " samples; this metric needs at least " + std::to_string(least) + " in each");
    }
    if (!std::isfinite(settings.weight) || settings.weight < 0.0) {
        return bad("weight", "weight must be finite and >= 0");
    }
    if (auto problem = check_matrix(x, settings.metric, std::min(class_a, class_b))) return *problem;
    if (auto problem = check_sets(gene_sets, x.genes)) return *problem;

    const std::uint64_t distinct = assignments(x.samples, class_a);
    bool exact = settings.permutations == Permutations::Exact;
    if (settings.permutations == Permutations::Auto) exact = distinct <= settings.nperm;
    if (exact && distinct > kMaxExact) {
        return bad("permutations", "permutations: an exact enumeration of " + std::to_string(distinct) +
                                       " assignments is too large (at most " + std::to_string(kMaxExact) +
                                       "); use random permutations");
    }
    if (!exact && settings.nperm == 0) return bad("nperm", "nperm must be at least 1");
    const std::uint64_t permutations = exact ? distinct : settings.nperm;
    if (!gene_sets.empty() && permutations > kMaxNullValues / gene_sets.size()) {
        return bad(exact ? "permutations" : "nperm", "the null of " + std::to_string(gene_sets.size()) +
                                                         " gene sets x " + std::to_string(permutations) +
                                                         " permutations would not fit in 8 GiB; use fewer of either");
    }

    NullInput input{
        x,
        Columns(x),
        settings.metric,
        settings.weight,
        gene_sets,
        exact ? exact_assignments(x.samples, class_a) : random_assignments(labels, settings.nperm, settings.seed),
        exact ? distinct : settings.nperm};
    Analysis analysis;
    analysis.exact = exact;
    analysis.permutations = input.permutations;
    Observed observed = observe(input, labels);
    analysis.metric = std::move(observed.metric);
    analysis.order = std::move(observed.order);
    analysis.sets.resize(gene_sets.size());
    for (std::size_t s = 0; s < gene_sets.size(); ++s) {
        analysis.sets[s].es = observed.es[s];
        analysis.sets[s].leading_edge = std::move(observed.leading_edge[s]);
    }
    std::vector<double> null = null_es(input);
    summarise(null, input.permutations, exact, analysis.sets);
    return analysis;
}

}  // namespace rsvelmo::phenotype
