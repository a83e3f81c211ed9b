#include "algo_support.hpp"

#include <gtest/gtest.h>

#include <cmath>

#include "logging.hpp"

namespace rsvelmo {
namespace {

// The adjusted p-values of records with these p-values, in input order.
std::vector<std::optional<double>> bh(std::vector<double> pvals) {
    std::vector<EnrichmentResult> records(pvals.size());
    for (std::size_t i = 0; i < pvals.size(); ++i) records[i].pval = pvals[i];
    apply_bh_adjustment(records);
    std::vector<std::optional<double>> out;
    for (const auto& r : records) out.push_back(r.padj);
    return out;
}

TEST(BhAdjustment, CumulativeMinimumAndNonFiniteRecords) {
    using V = std::vector<std::optional<double>>;
    EXPECT_EQ(bh({0.01, 0.04, 0.03}), (V{0.03, 0.04, 0.04}));
    EXPECT_EQ(bh({0.5, 0.5, 0.9}), (V{0.75, 0.75, 0.9}));
    EXPECT_EQ(bh({0.8, 0.9}), (V{0.9, 0.9}));
    EXPECT_EQ(bh({0.01, std::nan("")}), (V{0.02, std::nullopt}));  // a NaN record counts but stays absent
    EXPECT_EQ(bh({std::nan(""), INFINITY}), (V{std::nullopt, std::nullopt}));
}

TEST(PathwayHits, SortedDistinctAndOnlyRanked) {
    const GenePositions positions = {{"A", 4}, {"B", 1}, {"C", 2}};
    const Pathway p{"P", std::nullopt, {"C", "A", "missing", "C", "B"}};
    EXPECT_EQ(extract_pathway_hits(p, positions), (std::vector<std::uint64_t>{1, 2, 4}));
    EXPECT_TRUE(extract_pathway_hits(p, {}).empty());
}

TEST(LeadingEdge, SidesAndOrder) {
    const std::vector<std::string> genes = {"g0", "g1", "g2", "g3", "g4"};
    const std::vector<std::uint64_t> hits = {0, 2, 4};
    using V = std::vector<std::string>;
    EXPECT_EQ(leading_edge(hits, 2, ScoreType::Std, genes, 0.4), (V{"g0", "g2"}));
    EXPECT_EQ(leading_edge(hits, 2, ScoreType::Std, genes, -0.4), (V{"g4", "g2"}));
    EXPECT_TRUE(leading_edge(hits, 2, ScoreType::Std, genes, 0.0).empty());
    EXPECT_TRUE(leading_edge(hits, 2, ScoreType::Std, genes, std::nan("")).empty());
    EXPECT_EQ(leading_edge(hits, 2, ScoreType::Pos, genes, -0.1), (V{"g0", "g2"}));
    EXPECT_EQ(leading_edge(hits, 0, ScoreType::Neg, genes, 0.3), (V{"g4", "g2", "g0"}));
}

// The warnings about the ranking, as the logging sink receives them.
std::vector<std::string> warnings_of(const RankedList& ranked, ScoreType type,
                                     logging::Level level = logging::Level::Warning) {
    std::vector<std::string> out;
    logging::set_max_level(level);
    logging::set_sink([&](const logging::Record& r) {
        EXPECT_EQ(r.level, logging::Level::Warning);
        EXPECT_EQ(r.target, "rsvelmo::algo_support");
        out.push_back(r.message);
    });
    warn_prepare_stats(ranked, type);
    logging::set_sink({});
    logging::set_max_level(logging::Level::Off);
    return out;
}

std::string ties(const std::string& count, const std::string& percent) {
    return "detected " + count + " tied non-zero ranking scores (" + percent +
           "% of genes); ties are resolved by input order and can slightly affect enrichment outcomes";
}

TEST(RankingWarnings, TiesAndAllPositiveScores) {
    const std::string all_positive =
        "all ranking scores are positive while scoreType='std'; for one-tailed enrichment, consider scoreType='pos'";
    using V = std::vector<std::string>;
    const auto list = [](std::vector<double> scores) {
        std::vector<std::string> genes;
        for (std::size_t i = 0; i < scores.size(); ++i) genes.push_back("g" + std::to_string(i));
        return RankedList(genes, scores);
    };
    EXPECT_EQ(warnings_of(list({5, 5, 5, 1, 0, 0, -2, -2}), ScoreType::Std), V{ties("3", "37.50")});
    EXPECT_EQ(warnings_of(list({1, 1, -3}), ScoreType::Pos), V{ties("1", "33.33")});
    EXPECT_EQ(warnings_of(list({0.0, -0.0, -1.0}), ScoreType::Pos), V{});  // zeros are not counted
    // One tie among 800 genes is 0.125%, printed "0.12": an exact half goes to even.
    std::vector<double> many{7.0, 7.0};
    for (int i = 2; i < 800; ++i) many.push_back(-i);
    EXPECT_EQ(warnings_of(list(many), ScoreType::Pos), V{ties("1", "0.12")});
    EXPECT_EQ(warnings_of(list({3, 2, 1}), ScoreType::Std), V{all_positive});
    EXPECT_EQ(warnings_of(RankedList(), ScoreType::Std), V{all_positive});  // vacuously all positive
    for (const auto type : {ScoreType::Pos, ScoreType::Neg}) EXPECT_EQ(warnings_of(list({3, 2, 1}), type), V{});
    EXPECT_EQ(warnings_of(list({3, 2, 0}), ScoreType::Std), V{});
    EXPECT_EQ(warnings_of(list({3, std::nan("")}), ScoreType::Std), V{});
    EXPECT_EQ(warnings_of(list({1, 1}), ScoreType::Std, logging::Level::Error), V{});  // below the level
}

TEST(RefineDecision, Rules) {
    EXPECT_FALSE(should_refine_multilevel(0, 9, 1000, 101, 0.001));
    EXPECT_TRUE(should_refine_multilevel(0, 10, 1000, 101, 0.001));  // lo = -inf
    EXPECT_FALSE(should_refine_multilevel(0, 500, 0, 101, 0.001));
    EXPECT_FALSE(should_refine_multilevel(0, 500, 1000, 101, std::nan("")));
    EXPECT_FALSE(should_refine_multilevel(1000, 1000, 1000, 101, 1.0));  // x = M: nothing to gain
    EXPECT_FALSE(should_refine_multilevel(300, 500, 1000, 101, 0.3));
    EXPECT_TRUE(should_refine_multilevel(3, 500, 1000, 101, 0.004));
}

}  // namespace
}  // namespace rsvelmo
