#include <algorithm>
#include <boost/math/special_functions/gamma.hpp>
#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <utility>

#include "internal/sample_kernels.hpp"

namespace rsvelmo::scores::detail {

static_assert(std::numeric_limits<double>::is_iec559);
static_assert(std::numeric_limits<long double>::digits >= 64,
              "the reference's sums run in x87 extended precision: long double must have 64 mantissa bits");

double normal_cdf(double x) {
    // Cody (1969), Math. Comp. 23: 631-637; the coefficients of the three
    // ranges |x| <= 0.67449 (qnorm(3/4)), <= sqrt(32) and beyond.
    static constexpr double a[5] = {2.2352520354606839287, 161.02823106855587881, 1067.6894854603709582,
                                    18154.981253343561249, 0.065682337918207449113};
    static constexpr double b[4] = {47.20258190468824187, 976.09855173777669322, 10260.932208618978205,
                                    45507.789335026729956};
    static constexpr double c[9] = {0.39894151208813466764, 8.8831497943883759412, 93.506656132177855979,
                                    597.27027639480026226,  2494.5375852903726711, 6848.1904505362823326,
                                    11602.651437647350124,  9842.7148383839780218, 1.0765576773720192317e-8};
    static constexpr double d[8] = {22.266688044328115691, 235.38790178262499861, 1519.377599407554805,
                                    6485.558298266760755,  18615.571640885098091, 34900.952721145977266,
                                    38912.003286093271411, 19685.429676859990727};
    static constexpr double p[6] = {0.21589853405795699,     0.1274011611602473639, 0.022235277870649807,
                                    0.001421619193227893466, 2.9112874951168792e-5, 0.02307344176494017303};
    static constexpr double q[5] = {1.28426009614491121, 0.468238212480865118, 0.0659881378689285515,
                                    0.00378239633202758244, 7.29751555083966205e-5};
    constexpr double kSqrt32 = 5.656854249492380195206754896838;
    constexpr double kInvSqrt2Pi = 0.398942280401432677939946059934;
    // Beyond this Phi(x) rounds to 1 in double precision.
    constexpr double kUpperLimit = 8.2924;

    const double y = std::fabs(x);
    if (y <= 0.67448975) {
        double num = 0.0;
        double den = 0.0;
        if (y > DBL_EPSILON * 0.5) {
            const double sq = x * x;
            num = a[4] * sq;
            den = sq;
            for (int i = 0; i < 3; ++i) {
                num = (num + a[i]) * sq;
                den = (den + b[i]) * sq;
            }
        }
        return 0.5 + x * (num + a[3]) / (den + b[3]);
    }
    if (x >= kUpperLimit) return 1.0;
    double tail_factor;
    if (y <= kSqrt32) {
        double num = c[8] * y;
        double den = y;
        for (int i = 0; i < 7; ++i) {
            num = (num + c[i]) * y;
            den = (den + d[i]) * y;
        }
        tail_factor = (num + c[7]) / (den + d[7]);
    } else {
        const double inv_sq = 1.0 / (x * x);
        double num = p[5] * inv_sq;
        double den = inv_sq;
        for (int i = 0; i < 4; ++i) {
            num = (num + p[i]) * inv_sq;
            den = (den + q[i]) * inv_sq;
        }
        tail_factor = (kInvSqrt2Pi - inv_sq * (num + p[4]) / (den + q[4])) / y;
    }
    // exp(-y^2 / 2) split at y rounded down to 1/16 keeps its argument exact.
    const double coarse = std::trunc(y * 16) / 16;
    const double rest = (y - coarse) * (y + coarse);
    const double upper = std::exp(-coarse * coarse * 0.5) * std::exp(-rest * 0.5) * tail_factor;
    return x > 0 ? 1.0 - upper : upper;
}

const std::array<double, kCdfSteps + 1>& normal_cdf_table() {
    static const std::array<double, kCdfSteps + 1> table = [] {
        std::array<double, kCdfSteps + 1> t{};
        for (std::size_t i = 0; i <= kCdfSteps; ++i) t[i] = normal_cdf(kCdfReach * static_cast<double>(i) / 10000.0);
        if (t[kCdfSteps] != 1.0) std::abort();  // step_cdf's clamp relies on it
        return t;
    }();
    return table;
}

namespace {

// The table's value for |difference| / bandwidth, before the sign is applied.
inline double table_step(const double* table, double v) {
    // The reference returns exactly 0 below -10 bandwidths and 1 above +10;
    // the table's last entry is Phi(10) = 1 in double precision, so clamping
    // |v| at 10 gives the same values without a branch.
    const double magnitude = std::fabs(v);
    const double reach = magnitude < kCdfReach ? magnitude : kCdfReach;
    // The operations and their order are the reference's: |v| / 10 * 10000.
    return table[static_cast<int>(reach / kCdfReach * static_cast<double>(kCdfSteps))];
}

inline double step_cdf(const double* table, double difference, double bandwidth) {
    const double v = difference / bandwidth;
    const double cdf = table_step(table, v);
    return v < 0 ? 1.0 - cdf : cdf;
}

}  // namespace

double gaussian_step_cdf(double difference, double bandwidth) {
    return step_cdf(normal_cdf_table().data(), difference, bandwidth);
}

double kernel_sd(std::span<const double> x) {
    const auto n = static_cast<long double>(x.size());
    long double sum = 0.0L;
    for (double v : x) sum += v;
    long double mean = sum / n;
    if (std::isfinite(static_cast<double>(mean))) {
        sum = 0.0L;
        for (double v : x) sum += v - mean;
        mean = mean + sum / n;
    }
    const auto m = static_cast<double>(mean);
    sum = 0.0L;
    for (double v : x) sum += (v - m) * (v - m);
    return std::sqrt(static_cast<double>(sum / static_cast<long double>(static_cast<int>(x.size()) - 1)));
}

void gaussian_log_odds(std::span<const double> row, std::size_t first, std::span<double> out,
                       std::vector<double>& pairs) {
    // Bandwidth: a quarter of the gene's standard deviation (Hänzelmann et al. 2013).
    const double bandwidth = kernel_sd(row) / 4.0;
    const double* table = normal_cdf_table().data();
    const std::size_t n = row.size();
    const double* x = row.data();
    if (first == 0 && out.size() == n && n <= kMaxPairedSamples) {
        // Every sample is also a test sample: (x_j - x_i) / h and (x_i - x_j) / h
        // are exact negatives, so one table step serves both ordered pairs,
        // each on its side of the kernel. pairs[i n + j]: density sample i,
        // test sample j.
        pairs.resize(n * n);
        for (std::size_t i = 0; i < n; ++i) {
            pairs[i * n + i] = table[0];
            for (std::size_t j = i + 1; j < n; ++j) {
                const double v = (x[j] - x[i]) / bandwidth;
                const double cdf = table_step(table, v);
                pairs[i * n + j] = v < 0 ? 1.0 - cdf : cdf;
                pairs[j * n + i] = v > 0 ? 1.0 - cdf : cdf;
            }
        }
        // The sums run over the density samples in order, as the reference's;
        // the test samples are independent sums side by side.
        std::fill(out.begin(), out.end(), 0.0);
        for (std::size_t i = 0; i < n; ++i) {
            const double* p = pairs.data() + i * n;
            double* o = out.data();
            for (std::size_t j = 0; j < n; ++j) o[j] += p[j];
        }
    } else {
        std::fill(out.begin(), out.end(), 0.0);
        for (std::size_t i = 0; i < n; ++i)
            for (std::size_t j = 0; j < out.size(); ++j) out[j] += step_cdf(table, x[first + j] - x[i], bandwidth);
    }
    const auto count = static_cast<double>(n);
    for (double& left : out) {
        left = left / count;
        left = -1.0 * std::log((1.0 - left) / left);
    }
}

void poisson_log_odds(std::span<const double> row, std::size_t first, std::span<double> out) {
    // P(Y <= y) for Y ~ Poisson(x + 0.5) is the regularised upper incomplete
    // gamma Q(floor(y) + 1, x + 0.5), what R's ppois evaluates through its
    // own pgamma. Boost computes Q by other series and continued fractions
    // (in long double), so a value may differ from R's in its last bits;
    // summed over the samples that can swap two genes whose CDF sums are
    // equal to within those bits, and with them their ranks.
    const auto n = static_cast<double>(row.size());
    for (std::size_t j = 0; j < out.size(); ++j) {
        // R's ppois takes floor(y + 1e-7): counts stored as 2.9999999999 count as 3.
        const double k = std::floor(row[first + j] + 1e-7);
        double left = 0.0;
        for (double x : row) left += boost::math::gamma_q(k + 1.0, x + 0.5);
        left = left / n;
        out[j] = -1.0 * std::log((1.0 - left) / left);
    }
}

void ecdf_log_odds(std::span<const double> row, std::size_t first, std::span<double> out, std::vector<double>& sorted) {
    sorted.assign(row.begin(), row.end());
    std::sort(sorted.begin(), sorted.end());
    const auto n = static_cast<double>(row.size());
    for (std::size_t j = 0; j < out.size(); ++j) {
        const auto below = std::upper_bound(sorted.begin(), sorted.end(), row[first + j]) - sorted.begin();
        const double f = static_cast<double>(below) / n;
        out[j] = std::log(f / (1.0 - f));
    }
}

void decreasing_order(std::span<const double> values, std::vector<std::uint32_t>& order) {
    std::vector<std::pair<double, std::uint32_t>> keyed(values.size());
    for (std::size_t i = 0; i < values.size(); ++i) keyed[i] = {values[i], static_cast<std::uint32_t>(i)};
    std::sort(keyed.begin(), keyed.end(), [](const auto& l, const auto& r) {
        return l.first > r.first || (l.first == r.first && l.second < r.second);
    });
    order.resize(values.size());
    for (std::size_t i = 0; i < values.size(); ++i) order[i] = keyed[i].second;
}

void truncated_average_ranks(std::span<const double> values, std::span<const std::uint32_t> order,
                             std::vector<std::int64_t>& ranks) {
    const auto n = static_cast<std::int64_t>(values.size());
    ranks.resize(values.size());
    std::size_t start = 0;
    while (start < order.size()) {
        std::size_t end = start;
        while (end + 1 < order.size() && values[order[end + 1]] == values[order[start]]) ++end;
        // Places start..end of the decreasing order are ascending ranks
        // n - end .. n - start; their mean, truncated as R's as.integer does.
        const std::int64_t rank = (2 * n - static_cast<std::int64_t>(start) - static_cast<std::int64_t>(end)) / 2;
        for (std::size_t i = start; i <= end; ++i) ranks[order[i]] = rank;
        start = end + 1;
    }
}

double gsva_walk(std::span<const std::uint32_t> positions, const double* weight_at, double weight_sum,
                 std::size_t genes, bool mx_diff, bool abs_ranking) {
    // Between two hits the walk only falls, so its maximum is reached at a
    // hit and its minimum just before a hit or at the end: O(set size)
    // instead of a step per gene. The misses enter as count x decrement
    // rather than the reference's repeated subtraction (a difference of a
    // few units in the last place).
    const std::size_t k = positions.size();
    const double dec = 1.0 / static_cast<double>(genes - k);
    const auto at = [&](double hits, std::size_t misses) {
        return misses == 0 ? hits : hits - static_cast<double>(misses) * dec;
    };
    double hits = 0.0;
    double top = 0.0;
    double bottom = 0.0;
    for (std::size_t j = 0; j < k; ++j) {
        const std::size_t misses = positions[j] - j;
        bottom = std::min(bottom, at(hits, misses));
        hits += weight_at[positions[j]] / weight_sum;
        top = std::max(top, at(hits, misses));
    }
    bottom = std::min(bottom, at(hits, genes - k));
    if (mx_diff) return abs_ranking ? top - bottom : top + bottom;
    return top > std::fabs(bottom) ? top : bottom;
}

double ssgsea_walk(std::span<const std::uint32_t> positions, const double* weight_at, std::size_t genes) {
    // R's sum() of doubles runs in long double; the sums of integers are exact.
    const auto n = static_cast<std::int64_t>(genes);
    const auto k = static_cast<std::int64_t>(positions.size());
    long double weighted = 0.0L;
    long double total = 0.0L;
    std::int64_t steps = 0;
    for (std::size_t j = 0; j < positions.size(); ++j) {
        const std::int64_t remaining = n - static_cast<std::int64_t>(positions[j]);
        const double w = weight_at[positions[j]];
        weighted += w * static_cast<double>(remaining);
        total += w;
        steps += remaining;
    }
    const double inside = static_cast<double>(weighted) / static_cast<double>(total);
    const double outside =
        (static_cast<double>(n * (n + 1)) / 2.0 - static_cast<double>(steps)) / static_cast<double>(n - k);
    return inside - outside;
}

std::vector<double> leading_eigenvector(std::vector<double>& a, std::size_t m) {
    std::vector<double> v(m * m, 0.0);
    for (std::size_t i = 0; i < m; ++i) v[i * m + i] = 1.0;
    // Cyclic Jacobi converges quadratically once the off-diagonal part is
    // small; 100 sweeps is far beyond what any input needs.
    constexpr int kMaxSweeps = 100;
    for (int sweep = 0; sweep < kMaxSweeps; ++sweep) {
        double off = 0.0;
        double diag = 0.0;
        for (std::size_t p = 0; p < m; ++p) {
            diag += a[p * m + p] * a[p * m + p];
            for (std::size_t q = p + 1; q < m; ++q) off += a[p * m + q] * a[p * m + q];
        }
        // Off-diagonal mass below (1e-17)^2 of the diagonal's: the rotations
        // no longer change the eigenvectors in double precision.
        if (off <= 1e-34 * diag || off == 0.0) break;
        for (std::size_t p = 0; p + 1 < m; ++p) {
            for (std::size_t q = p + 1; q < m; ++q) {
                const double apq = a[p * m + q];
                if (apq == 0.0) continue;
                const double theta = (a[q * m + q] - a[p * m + p]) / (2.0 * apq);
                const double t = (theta >= 0 ? 1.0 : -1.0) / (std::fabs(theta) + std::sqrt(1.0 + theta * theta));
                const double c = 1.0 / std::sqrt(1.0 + t * t);
                const double s = t * c;
                for (std::size_t r = 0; r < m; ++r) {  // A J
                    const double arp = a[r * m + p];
                    const double arq = a[r * m + q];
                    a[r * m + p] = c * arp - s * arq;
                    a[r * m + q] = s * arp + c * arq;
                }
                for (std::size_t r = 0; r < m; ++r) {  // J^T (A J)
                    const double apr = a[p * m + r];
                    const double aqr = a[q * m + r];
                    a[p * m + r] = c * apr - s * aqr;
                    a[q * m + r] = s * apr + c * aqr;
                }
                for (std::size_t r = 0; r < m; ++r) {  // V J
                    const double vrp = v[r * m + p];
                    const double vrq = v[r * m + q];
                    v[r * m + p] = c * vrp - s * vrq;
                    v[r * m + q] = s * vrp + c * vrq;
                }
            }
        }
    }
    std::size_t best = 0;
    for (std::size_t i = 1; i < m; ++i)
        if (a[i * m + i] > a[best * m + best]) best = i;
    std::vector<double> out(m);
    for (std::size_t r = 0; r < m; ++r) out[r] = v[r * m + best];
    return out;
}

}  // namespace rsvelmo::scores::detail
