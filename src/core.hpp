// The records every stage of an analysis shares: gene sets, the ranking and
// its integer weights, and the output row of one pathway.
#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace rsvelmo {

static_assert(std::numeric_limits<double>::is_iec559, "IEEE doubles are required");

// The scaled ranking weights sum to about 2^30, so that every partial sum
// fits into 32 bits and every product of two sums into 64 (the multilevel
// estimator compares scores exactly in these units).
inline constexpr int kWeightScaleBits = 30;
inline constexpr double kWeightScale = static_cast<double>(std::int64_t{1} << kWeightScaleBits);

// Which deviation of the running sum a score measures.
enum class ScoreType : std::uint8_t {
    Std = 0,  // two-sided: the larger deviation wins
    Pos = 1,  // the positive deviation only
    Neg = 2,  // the negative deviation only
};

struct Pathway {
    std::string name;
    std::optional<std::string> description;
    std::vector<std::string> genes;
    std::uint64_t line = 0;  // its line in the GMT file (1-based); 0 when it came from elsewhere
};

struct PathwayDb {
    std::vector<Pathway> pathways;
};

struct PreparedRanks {
    std::vector<std::int64_t> scaled_weights;  // |score|^gseaParam in rank order, scaled to sum to about 2^30
    std::int64_t scaled_total = 0;
};

// Gene names and scores sorted by descending score; ties keep input order.
class RankedList {
public:
    RankedList() = default;
    RankedList(std::vector<std::string> genes, std::vector<double> scores);

    PreparedRanks prepare(double gsea_param) const;

    const std::vector<std::string>& genes() const { return genes_; }
    const std::vector<double>& scores() const { return scores_; }
    std::size_t size() const { return genes_.size(); }

private:
    std::vector<std::string> genes_;
    std::vector<double> scores_;
};

// Why the scores cannot be turned into integer weights with this exponent, or
// nothing when they can: a weight that is not finite, or a total so small that
// the scale factor overflows.
std::optional<std::string> weighting_problem(const RankedList& ranked, double gsea_param);

// The message for the first score that is NaN or infinite (such a ranking
// has no order), or nothing when every score is finite.
std::optional<std::string> non_finite_score(const std::vector<std::string>& genes, const std::vector<double>& scores);

// Shortest round-trip-safe decimal form of a double, for messages.
std::string format_double(double x);

struct EnrichmentResult {
    std::string pathway;
    std::uint64_t size = 0;
    double es = 0.0;
    std::optional<double> nes;
    double pval = std::numeric_limits<double>::quiet_NaN();
    std::optional<double> padj;
    std::optional<double> log2err;
    std::vector<std::string> leading_edge;
};

}  // namespace rsvelmo
