#include "ora.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

#include "pool.hpp"

namespace rsvelmo::ora {
namespace {

static_assert(std::numeric_limits<double>::is_iec559);

// Newton's method on t = log(psi) stops when a step is below this many units
// of t's magnitude (plus one): a few ulps, so the root is solved to double precision.
constexpr double kStepTolerance = 4.0 * std::numeric_limits<double>::epsilon();
// Past this many iterations the remaining steps are rounding noise of E[X | t].
constexpr int kMaxIterations = 100;
// Steps are clipped to this length in t (e^8 ~ 3000-fold in psi) so that far
// from the root, where E[X | t] is flat, a step cannot jump past the support.
constexpr double kMaxStep = 8.0;
// The weights are summed over a window of the support around k. At the root
// every weight left out must be below e^-45 (3e-20) of the largest: the
// distribution is log-concave, so what lies beyond an edge that low is a
// geometric tail far under the double's precision.
constexpr double kEdgeLogWeight = -45.0;
// The first window spans this many standard deviations (the asymptotic
// variance of the table's cell) each side of k, plus a margin; it doubles
// while too narrow.
constexpr double kWindowSds = 10.0;
constexpr std::int64_t kWindowMargin = 16;
// Tables handed to one pool task: a solve costs microseconds, so a block
// amortises the task's hand-out without unbalancing the workers.
constexpr std::size_t kBlock = 64;

struct Support {
    std::int64_t lo, hi;
};

Support support_of(std::int64_t N, std::int64_t K, std::int64_t n) {
    return {std::max<std::int64_t>(0, n + K - N), std::min(K, n)};
}

// log(psi) solving E[X | psi] = k with the weights summed over lo..hi only;
// `enough` says whether the window's inner edges hold negligible weight at
// the root. `logc` is scratch for the central weights.
double solve_window(std::int64_t N, std::int64_t K, std::int64_t n, std::int64_t k, std::int64_t lo, std::int64_t hi,
                    const Support& support, std::vector<double>& logc, bool& enough) {
    const auto width = static_cast<std::size_t>(hi - lo + 1);
    logc.assign(width, 0.0);
    // log of C(K, x+1) C(N-K, n-x-1) / (C(K, x) C(N-K, n-x)), summed from lo
    for (std::int64_t x = lo; x < hi; ++x) {
        const double xd = static_cast<double>(x);
        const double ratio = std::log((static_cast<double>(K) - xd) / (xd + 1.0)) +
                             std::log((static_cast<double>(n) - xd) / (static_cast<double>(N - K - n) + xd + 1.0));
        logc[static_cast<std::size_t>(x - lo + 1)] = logc[static_cast<std::size_t>(x - lo)] + ratio;
    }
    const double at_k = logc[static_cast<std::size_t>(k - lo)];
    for (double& v : logc) v -= at_k;
    // Start from the sample odds ratio with a half added to each cell.
    const double kd = static_cast<double>(k);
    double t = std::log((kd + 0.5) * (static_cast<double>(N - K - n) + kd + 0.5) /
                        ((static_cast<double>(K) - kd + 0.5) * (static_cast<double>(n) - kd + 0.5)));
    double below = -std::numeric_limits<double>::infinity();  // bracket: f(below) < 0 < f(above)
    double above = std::numeric_limits<double>::infinity();
    const auto offset = [&](std::size_t i) { return static_cast<double>(lo + static_cast<std::int64_t>(i) - k); };
    for (int iteration = 0; iteration < kMaxIterations; ++iteration) {
        double top = -std::numeric_limits<double>::infinity();
        for (std::size_t i = 0; i < width; ++i) top = std::max(top, logc[i] + offset(i) * t);
        double total = 0.0, first = 0.0, second = 0.0;
        for (std::size_t i = 0; i < width; ++i) {
            const double d = offset(i);
            const double w = std::exp(logc[i] + d * t - top);
            total += w;
            first += d * w;
            second += d * d * w;
        }
        const double f = first / total;             // E[X | t] - k
        const double var = second / total - f * f;  // f is 0 at the root: no cancellation there
        if (f < 0) below = std::max(below, t);
        if (f > 0) above = std::min(above, t);
        double next = t - std::clamp(f / var, -kMaxStep, kMaxStep);
        // a step landing on the bracket's end is a step below the root's last ulps, not a miss
        if ((next < below || next > above) && std::isfinite(below) && std::isfinite(above))
            next = 0.5 * (below + above);
        const bool done = f == 0 || std::abs(next - t) <= kStepTolerance * (1.0 + std::abs(t));
        t = next;
        if (done) break;
    }
    double top = -std::numeric_limits<double>::infinity();
    for (std::size_t i = 0; i < width; ++i) top = std::max(top, logc[i] + offset(i) * t);
    const bool low_ok = lo == support.lo || logc.front() + offset(0) * t - top < kEdgeLogWeight;
    const bool high_ok = hi == support.hi || logc.back() + offset(width - 1) * t - top < kEdgeLogWeight;
    enough = low_ok && high_ok;
    return t;
}

double odds_ratio_with(std::uint64_t N_, const Table& table, std::vector<double>& scratch) {
    const auto N = static_cast<std::int64_t>(N_), K = static_cast<std::int64_t>(table.K),
               n = static_cast<std::int64_t>(table.n), k = static_cast<std::int64_t>(table.k);
    const Support support = support_of(N, K, n);
    if (k == support.lo) return 0.0;  // first, as R's fisher.test: a one-point support gives 0
    if (k == support.hi) return std::numeric_limits<double>::infinity();
    const double kd = static_cast<double>(k);
    const double var = 1.0 / (1.0 / kd + 1.0 / (static_cast<double>(K) - kd) + 1.0 / (static_cast<double>(n) - kd) +
                              1.0 / (static_cast<double>(N - K - n) + kd));
    auto half = static_cast<std::int64_t>(std::ceil(kWindowSds * std::sqrt(var))) + kWindowMargin;
    for (;;) {
        bool enough = false;
        const double t = solve_window(N, K, n, k, std::max(support.lo, k - half), std::min(support.hi, k + half),
                                      support, scratch, enough);
        if (enough) return std::exp(t);
        half *= 2;
    }
}

std::string check(std::uint64_t N, const Table& t) {
    if (t.K > N || t.n > N) return "a set or list larger than the universe";
    const Support support =
        support_of(static_cast<std::int64_t>(N), static_cast<std::int64_t>(t.K), static_cast<std::int64_t>(t.n));
    const auto k = static_cast<std::int64_t>(t.k);
    if (k < support.lo || k > support.hi) return "an overlap outside the table's support";
    return {};
}

}  // namespace

double odds_ratio(std::uint64_t N, const Table& table) {
    std::vector<double> scratch;
    return odds_ratio_with(N, table, scratch);
}

Result<std::vector<double>> odds_ratios(std::uint64_t N, std::span<const Table> tables) {
    for (std::size_t i = 0; i < tables.size(); ++i) {
        if (auto problem = check(N, tables[i]); !problem.empty()) {
            return Error::argument("tables", "table " + std::to_string(i) + " (K=" + std::to_string(tables[i].K) +
                                                 ", n=" + std::to_string(tables[i].n) +
                                                 ", k=" + std::to_string(tables[i].k) + "): " + problem);
        }
    }
    std::vector<double> out(tables.size());
    std::vector<std::vector<double>> scratch(pool::thread_count());
    const std::size_t blocks = (tables.size() + kBlock - 1) / kBlock;
    pool::run(blocks, [&](std::size_t block, std::size_t slot) {
        const std::size_t end = std::min(tables.size(), (block + 1) * kBlock);
        for (std::size_t i = block * kBlock; i < end; ++i) {
            out[i] = odds_ratio_with(N, tables[i], scratch[slot]);
        }
    });
    return out;
}

}  // namespace rsvelmo::ora
