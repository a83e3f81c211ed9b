#include "multilevel.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "esruler_compat.hpp"

namespace rsvelmo {

std::vector<std::int64_t> side_weights(std::span<const std::int64_t> weights, Side side) {
    std::vector<std::int64_t> out(weights.size());
    for (std::size_t i = 0; i < weights.size(); ++i) out[i] = std::abs(weights[i]);
    if (side == Side::Negative) std::reverse(out.begin(), out.end());
    return out;
}

bool side_has_scores(Side side, std::span<const double> scores) {
    return std::any_of(scores.begin(), scores.end(), [side](double e) { return answers(side, e); });
}

void run_multilevel_side(Side side, std::span<const std::int64_t> weights_of_side, double eps,
                         std::uint64_t pathway_size, std::span<const double> scores, ScoreType score_type,
                         std::uint64_t sample_size, std::uint64_t seed, std::span<MultilevelPvalue> out) {
    if (weights_of_side.empty() || pathway_size == 0) {
        for (std::size_t i = 0; i < scores.size(); ++i) {
            if (answers(side, scores[i])) out[i] = MultilevelPvalue{1.0, true, 0.0};
        }
        return;
    }
    EsRulerCompat ruler(std::vector<std::int64_t>(weights_of_side.begin(), weights_of_side.end()), sample_size,
                        pathway_size, 1.0);
    // The estimator runs down to the most extreme score of its side; a side
    // holding only NaN scores is asked without having run.
    double extreme = -1.0;
    for (double e : scores) {
        if (answers(side, e) && !std::isnan(e)) extreme = std::max(extreme, std::fabs(e));
    }
    if (extreme >= 0.0) ruler.extend(seed, extreme, eps);

    // One-sided score types count every set reaching |e|; the two-sided one
    // only sets whose signed score lies on the same side.
    const bool sign = score_type != ScoreType::Std;
    for (std::size_t i = 0; i < scores.size(); ++i) {
        if (!answers(side, scores[i])) continue;
        const PvalueEstimate r = ruler.get_pvalue(std::fabs(scores[i]), sign);
        out[i] = {r.pvalue, r.flag, std::isfinite(r.log2err) ? std::optional<double>(r.log2err) : std::nullopt};
    }
}

std::vector<MultilevelPvalue> run_multilevel_gsea_group_impl(double eps, std::uint64_t n,
                                                             std::span<const std::int64_t> weights,
                                                             std::uint64_t pathway_size,
                                                             std::span<const double> scores, ScoreType score_type,
                                                             std::uint64_t sample_size, std::uint64_t seed) {
    std::vector<MultilevelPvalue> out(scores.size(), MultilevelPvalue{1.0, true, 0.0});
    if (n == 0 || pathway_size == 0 || scores.empty()) return out;
    for (Side side : {Side::Positive, Side::Negative}) {
        if (!side_has_scores(side, scores)) continue;
        run_multilevel_side(side, side_weights(weights, side), eps, pathway_size, scores, score_type, sample_size,
                            seed, out);
    }
    return out;
}

}  // namespace rsvelmo
