#include "core.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numeric>

namespace rsvelmo {

namespace {

// Round half to even, then convert with saturation (NaN becomes 0).
std::int64_t saturating_round_even(double x) {
    if (std::isnan(x)) return 0;
    const double r = std::nearbyint(x);  // default rounding mode: ties to even
    constexpr double kTwo63 = 9223372036854775808.0;
    if (r >= kTwo63) return std::numeric_limits<std::int64_t>::max();
    if (r < -kTwo63) return std::numeric_limits<std::int64_t>::min();
    return static_cast<std::int64_t>(r);
}

}  // namespace

RankedList::RankedList(std::vector<std::string> genes, std::vector<double> scores) {
    std::vector<std::size_t> order(genes.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    // Descending; equal scores (0.0 and -0.0 included) keep input order.
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return scores[a] > scores[b]; });
    genes_.reserve(order.size());
    scores_.reserve(order.size());
    for (std::size_t i : order) {
        genes_.push_back(std::move(genes[i]));
        scores_.push_back(scores[i]);
    }
}

PreparedRanks RankedList::prepare(double gsea_param) const {
    std::vector<double> weights;
    weights.reserve(scores_.size());
    double sum = -0.0;
    for (double s : scores_) {
        const double w = std::pow(std::fabs(s), gsea_param);
        weights.push_back(w);
        sum += w;
    }
    double factor = kWeightScale / sum;
    if (factor >= 1.0) factor = std::floor(factor);
    PreparedRanks out;
    out.scaled_weights.reserve(weights.size());
    for (double w : weights) {
        const std::int64_t scaled = saturating_round_even(w * factor);
        out.scaled_weights.push_back(scaled);
        // Wrapping sum: only reachable with weights that the module refuses.
        out.scaled_total = static_cast<std::int64_t>(static_cast<std::uint64_t>(out.scaled_total) +
                                                     static_cast<std::uint64_t>(scaled));
    }
    return out;
}

std::optional<std::string> weighting_problem(const RankedList& ranked, double gsea_param) {
    const auto why = [&](const std::string& reason) {
        return "the ranking scores cannot be weighted with gseaParam=" + format_double(gsea_param) + ": " + reason;
    };
    if (std::isnan(gsea_param)) return why("gseaParam is NaN");
    double sum = -0.0;
    for (std::size_t i = 0; i < ranked.size(); ++i) {
        const double w = std::pow(std::fabs(ranked.scores()[i]), gsea_param);
        if (!std::isfinite(w)) {
            return why("the weight |score|^gseaParam of gene '" + ranked.genes()[i] + "' (score " +
                       format_double(ranked.scores()[i]) + ") is not finite");
        }
        sum += w;
    }
    if (!std::isfinite(sum)) return why("the sum of the weights overflows");
    if (sum > 0.0 && !std::isfinite(kWeightScale / sum)) {
        return why("the sum of the weights (" + format_double(sum) + ") is too small to be scaled");
    }
    return std::nullopt;
}

std::string format_double(double x) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.17g", x);
    return buf;
}

std::optional<std::string> non_finite_score(const std::vector<std::string>& genes, const std::vector<double>& scores) {
    for (std::size_t i = 0; i < scores.size(); ++i) {
        if (std::isfinite(scores[i])) continue;
        const char* shown = std::isnan(scores[i]) ? "nan" : scores[i] > 0 ? "inf" : "-inf";
        return "ranking score of gene '" + genes[i] + "' is " + shown + "; every score must be a finite number";
    }
    return std::nullopt;
}

}  // namespace rsvelmo
