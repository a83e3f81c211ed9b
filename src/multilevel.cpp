#include "multilevel.hpp"

#include <cmath>
#include <limits>

#include "esruler_compat.hpp"

namespace rsvelmo {

std::vector<MultilevelPvalue> run_multilevel_gsea_group_impl(double eps, std::uint64_t n,
                                                             std::span<const std::int64_t> weights,
                                                             std::uint64_t pathway_size,
                                                             std::span<const double> scores, ScoreType score_type,
                                                             std::uint64_t sample_size, std::uint64_t seed) {
    if (n == 0 || pathway_size == 0 || scores.empty()) {
        return std::vector<MultilevelPvalue>(scores.size(), MultilevelPvalue{1.0, true, 0.0});
    }
    std::vector<std::int64_t> top(weights.size());
    for (std::size_t i = 0; i < weights.size(); ++i) top[i] = std::abs(weights[i]);
    std::vector<std::int64_t> bottom(top.rbegin(), top.rend());
    EsRulerCompat positive(std::move(top), sample_size, pathway_size, 1.0);
    EsRulerCompat negative(std::move(bottom), sample_size, pathway_size, 1.0);

    double max_score = -std::numeric_limits<double>::infinity();
    double min_score = std::numeric_limits<double>::infinity();
    for (double e : scores) {
        if (e > max_score) max_score = e;
        if (e < min_score) min_score = e;
    }
    if (max_score >= 0.0) positive.extend(seed, std::fabs(max_score), eps);
    if (min_score < 0.0) negative.extend(seed, std::fabs(min_score), eps);

    // One-sided score types count every set reaching |e|; the two-sided one
    // only sets whose signed score lies on the same side.
    const bool sign = score_type != ScoreType::Std;
    std::vector<MultilevelPvalue> out;
    out.reserve(scores.size());
    for (double e : scores) {
        const PvalueEstimate r = (e >= 0.0 ? positive : negative).get_pvalue(std::fabs(e), sign);
        out.push_back({r.pvalue, r.flag, std::isfinite(r.log2err) ? std::optional<double>(r.log2err) : std::nullopt});
    }
    return out;
}

}  // namespace rsvelmo
