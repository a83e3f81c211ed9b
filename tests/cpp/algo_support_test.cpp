#include "algo_support.hpp"

#include <gtest/gtest.h>

#include <cmath>

#include "logging.hpp"

namespace rsvelmo {
namespace {

EnrichmentResult with_pval(double p) {
    EnrichmentResult r;
    r.pval = p;
    return r;
}

std::vector<std::optional<double>> padj_of(const std::vector<EnrichmentResult>& rs) {
    std::vector<std::optional<double>> out;
    for (const auto& r : rs) out.push_back(r.padj);
    return out;
}

TEST(BhAdjustment, CumulativeMinimumCappedAtOne) {
    std::vector<EnrichmentResult> rs = {with_pval(0.01), with_pval(0.04), with_pval(0.03)};
    apply_bh_adjustment(rs);
    EXPECT_EQ(padj_of(rs), (std::vector<std::optional<double>>{0.03, 0.04, 0.04}));

    std::vector<EnrichmentResult> ties = {with_pval(0.5), with_pval(0.5), with_pval(0.9)};
    apply_bh_adjustment(ties);
    EXPECT_EQ(ties[0].padj, ties[1].padj);
    EXPECT_EQ(ties[2].padj, 0.9);

    std::vector<EnrichmentResult> big = {with_pval(0.8), with_pval(0.9)};
    apply_bh_adjustment(big);
    EXPECT_EQ(big[0].padj, 0.9);
    EXPECT_LE(*big[1].padj, 1.0);
}

TEST(BhAdjustment, NonFiniteRecordsCountButStayAbsent) {
    std::vector<EnrichmentResult> rs = {with_pval(0.01), with_pval(std::nan(""))};
    apply_bh_adjustment(rs);
    EXPECT_EQ(rs[0].padj, 0.02);
    EXPECT_FALSE(rs[1].padj);

    std::vector<EnrichmentResult> none = {with_pval(std::nan("")), with_pval(INFINITY)};
    apply_bh_adjustment(none);
    EXPECT_FALSE(none[0].padj || none[1].padj);
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

class CapturedWarnings : public ::testing::Test {
protected:
    void SetUp() override {
        logging::set_max_level(logging::Level::Warning);
        logging::set_sink([this](const logging::Record& r) { records_.push_back(r); });
    }
    void TearDown() override {
        logging::set_sink({});
        logging::set_max_level(logging::Level::Off);
    }
    std::vector<std::string> messages() const {
        std::vector<std::string> out;
        for (const auto& r : records_) out.push_back(r.message);
        return out;
    }
    std::vector<logging::Record> records_;
};

const std::string kAllPositive =
    "all ranking scores are positive while scoreType='std'; for one-tailed enrichment, consider scoreType='pos'";

std::string ties_message(const std::string& count, const std::string& percent) {
    return "detected " + count + " tied non-zero ranking scores (" + percent +
           "% of genes); ties are resolved by input order and can slightly affect enrichment outcomes";
}

TEST_F(CapturedWarnings, TieCountAndPercentage) {
    warn_prepare_stats(RankedList({"a", "b", "c", "d", "e", "f", "g", "h"}, {5, 5, 5, 1, 0, 0, -2, -2}),
                       ScoreType::Std);
    ASSERT_EQ(records_.size(), 1u);
    EXPECT_EQ(records_[0].message, ties_message("3", "37.50"));
    EXPECT_EQ(records_[0].level, logging::Level::Warning);
    EXPECT_EQ(records_[0].target, "rsvelmo::algo_support");
    EXPECT_EQ(records_[0].module_path, "rsvelmo::algo_support");
    EXPECT_EQ(records_[0].file, "src/algo_support.cpp");
    EXPECT_GT(records_[0].line, 0u);
}

TEST_F(CapturedWarnings, PercentageRoundingAndOnlyZeroTies) {
    warn_prepare_stats(RankedList({"a", "b", "c"}, {1, 1, -3}), ScoreType::Pos);
    EXPECT_EQ(messages(), (std::vector<std::string>{ties_message("1", "33.33")}));
    records_.clear();
    // 1/8 * 100 = 12.5 exactly, and 0.125 -> "0.12": an exact half goes to even.
    std::vector<std::string> g;
    std::vector<double> s;
    for (int i = 0; i < 800; ++i) {
        g.push_back("g" + std::to_string(i));
        s.push_back(i == 0 ? 7.0 : -static_cast<double>(i));
    }
    s[1] = 7.0;  // one tie among 800 genes: 0.125%
    warn_prepare_stats(RankedList(g, s), ScoreType::Pos);
    EXPECT_EQ(messages(), (std::vector<std::string>{ties_message("1", "0.12")}));
    records_.clear();
    warn_prepare_stats(RankedList({"a", "b", "c"}, {0.0, -0.0, -1.0}), ScoreType::Pos);
    EXPECT_TRUE(records_.empty());
}

TEST_F(CapturedWarnings, AllPositiveRule) {
    warn_prepare_stats(RankedList({"a", "b", "c"}, {3, 2, 1}), ScoreType::Std);
    EXPECT_EQ(messages(), (std::vector<std::string>{kAllPositive}));
    records_.clear();
    warn_prepare_stats(RankedList({"a", "b", "c"}, {3, 2, 0}), ScoreType::Std);
    warn_prepare_stats(RankedList({"a", "b", "c"}, {3, 2, 1}), ScoreType::Pos);
    warn_prepare_stats(RankedList({"a", "b", "c"}, {3, 2, 1}), ScoreType::Neg);
    warn_prepare_stats(RankedList({"a", "b"}, {3, std::nan("")}), ScoreType::Std);
    EXPECT_TRUE(records_.empty());
    warn_prepare_stats(RankedList(), ScoreType::Std);  // every score of an empty list is positive
    EXPECT_EQ(messages(), (std::vector<std::string>{kAllPositive}));
}

TEST_F(CapturedWarnings, NothingBelowTheWarningLevel) {
    logging::set_max_level(logging::Level::Error);
    warn_prepare_stats(RankedList({"a", "b"}, {1, 1}), ScoreType::Std);
    logging::set_max_level(logging::Level::Off);
    warn_prepare_stats(RankedList({"a", "b"}, {1, 1}), ScoreType::Std);
    EXPECT_TRUE(records_.empty());
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
