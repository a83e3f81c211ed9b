#include "enrichment_score.hpp"

#include <cmath>
#include <limits>

namespace rsvelmo {

EsPeak calculate_es_velmo(std::span<const double> weights, std::span<const std::uint64_t> positions, std::uint64_t n,
                          ScoreType score_type) {
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
            const double top = static_cast<double>(j + 1) / kd - static_cast<double>(positions[j] - j) / misses_total;
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

}  // namespace rsvelmo
