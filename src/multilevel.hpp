// Multilevel p-values for a group of pathways of one size.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core.hpp"

namespace rsvelmo {

struct MultilevelPvalue {
    double pvalue;
    bool flag;
    std::optional<double> log2err;  // absent when not finite
};

// One pair of estimators (top and bottom of the ranking) serves every score
// of the group; results follow the order of `scores`.
std::vector<MultilevelPvalue> run_multilevel_gsea_group_impl(double eps, std::uint64_t n,
                                                             std::span<const std::int64_t> weights,
                                                             std::uint64_t pathway_size,
                                                             std::span<const double> scores, ScoreType score_type,
                                                             std::uint64_t sample_size, std::uint64_t seed);

}  // namespace rsvelmo
