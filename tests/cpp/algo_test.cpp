#include <gtest/gtest.h>

#include <cmath>
#include <tuple>

#include "algo.hpp"
#include "logging.hpp"
#include "test_support.hpp"

namespace rsvelmo {
namespace {

// n genes g0..g(n-1) with distinct scores, positive at the top and negative at the bottom.
RankedList ranking(int n) {
    std::vector<std::string> genes;
    std::vector<double> scores;
    for (int i = 0; i < n; ++i) {
        genes.push_back("g" + std::to_string(i));
        scores.push_back(static_cast<double>(n - 2 * i) + 0.5);
    }
    return RankedList(genes, scores);
}

Pathway genes_at(const std::string& name, std::vector<int> positions) {
    Pathway p{name, std::nullopt, {}};
    for (int i : positions) p.genes.push_back("g" + std::to_string(i));
    return p;
}

std::vector<int> range(int from, int to) {
    std::vector<int> v;
    for (int i = from; i < to; ++i) v.push_back(i);
    return v;
}

std::vector<EnrichmentResult> simple(const RankedList& r, const std::vector<Pathway>& p, std::uint64_t nperm,
                                     ScoreType type = ScoreType::Std) {
    return velmo_simple_with_sample_size(r, p, nperm, 42, 1, r.size(), type, 1e-50, 1.0, 101);
}

TEST(Driver, SortsByNameBytesAndFiltersBySize) {
    const RankedList r = ranking(20);
    const std::vector<Pathway> p = {
        genes_at("b", {0, 1}), genes_at("A", {2, 3}),         genes_at("a", {4, 5}),         genes_at("AB", {6}),
        genes_at("none", {}),  Pathway{"missing", {}, {"x"}}, genes_at("all", range(0, 20)), genes_at("a", {7, 8, 9})};
    const auto out = simple(r, p, 0);
    std::vector<std::string> names;
    for (const auto& e : out) names.push_back(e.pathway);
    EXPECT_EQ(names, (std::vector<std::string>{"A", "AB", "a", "a", "b"}));
    EXPECT_EQ(out[2].size, 2u);  // equal names keep input order
    EXPECT_EQ(out[3].size, 3u);

    const auto exact = velmo_simple_with_sample_size(r, p, 0, 42, 2, 2, ScoreType::Std, 1e-50, 1.0, 101);
    EXPECT_EQ(exact.size(), 3u);  // minSize = maxSize = 2
    EXPECT_TRUE(velmo_simple_with_sample_size(r, {}, 10, 42, 0, 5, ScoreType::Std, 1e-50, 1.0, 101).empty());
}

TEST(Driver, RepeatedGeneNameUsesItsLastPosition) {
    const RankedList r({"x", "y", "x", "z"}, {4.0, 3.0, 2.0, 1.0});
    const auto out = simple(r, {Pathway{"P", {}, {"x"}}}, 0, ScoreType::Pos);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].es, 1.0 - 2.0 / 3.0);  // scored at position 2
}

// The debug records of the driver and the refinement while `analyse` runs.
template <typename F>
std::vector<std::string> debug_records(F analyse) {
    std::vector<std::string> messages;
    logging::set_max_level(logging::Level::Debug);
    logging::set_sink([&](const logging::Record& r) {
        if (r.target == "rsvelmo::algo" || r.target == "rsvelmo::multilevel") messages.push_back(r.message);
    });
    analyse();
    logging::set_sink({});
    logging::set_max_level(logging::Level::Off);
    return messages;
}

TEST(DebugRecords, SeedsOfTheChunksAndOfTheRefinement) {
    const auto chunks = debug_records([] { (void)simple(ranking(100), {genes_at("P", {0, 3, 5})}, 2500); });
    EXPECT_EQ(chunks, (std::vector<std::string>{"base seed 707850213", "chunk 0: 1000 permutations, seed 707850213",
                                                "chunk 1: 1000 permutations, seed 155243673",
                                                "chunk 2: 500 permutations, seed 608797924"}));
    // The refinement's seed follows one discarded draw per group.
    const char* expected[] = {"multilevel seed 345547850 for 1 groups", "multilevel seed 608797924 for 2 groups",
                              "multilevel seed 82033810 for 3 groups"};
    for (int groups = 1; groups <= 3; ++groups) {
        std::vector<Pathway> p = {genes_at("plain", {3, 50, 100, 150, 200, 250, 299})};
        for (int g = 0; g < groups; ++g) p.push_back(genes_at("top" + std::to_string(g), range(0, 10 + g)));
        const auto records = debug_records([&] {
            (void)velmo_multilevel_with_sample_size(ranking(300), p, 1000, 42, 1, 299, ScoreType::Std, 1e-10, 1.0, 11);
        });
        ASSERT_FALSE(records.empty());
        EXPECT_EQ(records.back(), expected[groups - 1]);
    }
}

TEST(Driver, SameSignRuleOnlyWithMultilevel) {
    const RankedList r = ranking(200);
    const std::vector<Pathway> p = {genes_at("top", range(0, 12)), genes_at("spread", {2, 40, 90, 130, 170})};
    const auto plain = simple(r, p, 12);
    const auto refined = velmo_multilevel_with_sample_size(r, p, 12, 42, 1, 199, ScoreType::Std, 1e-50, 1.0, 101);
    for (std::size_t i = 0; i < p.size(); ++i) {
        EXPECT_TRUE(std::isfinite(plain[i].pval));
        EXPECT_TRUE(std::isnan(refined[i].pval));  // fewer than 10 random sets on its side
        EXPECT_FALSE(refined[i].nes || refined[i].log2err || refined[i].padj);
    }
}

TEST(Driver, FailedMultilevelEstimateKeepsThePermutationResult) {
    const RankedList r = ranking(300);
    const std::vector<Pathway> p = {genes_at("top", range(0, 15)), genes_at("next", range(2, 20)),
                                    genes_at("spread", {3, 50, 100, 150, 200, 250, 299})};
    const auto base = simple(r, p, 1000);
    const auto ml = velmo_multilevel_with_sample_size(r, p, 1000, 42, 1, 299, ScoreType::Std, 1e-50, 1.0, 1);
    for (std::size_t i = 0; i < p.size(); ++i) {
        EXPECT_EQ(testing::bits_of(ml[i].pval), testing::bits_of(base[i].pval)) << ml[i].pathway;
        EXPECT_EQ(ml[i].log2err, base[i].log2err);
    }
    EXPECT_LT(ml[2].pval, 1.0);
}

TEST(Driver, RefinedPvaluesAreFlooredAtEps) {
    const RankedList r = ranking(300);
    const std::vector<Pathway> p = {genes_at("top", range(0, 15)), genes_at("spread", {3, 50, 100, 150, 200, 250})};
    const auto out = velmo_multilevel_with_sample_size(r, p, 1000, 42, 1, 299, ScoreType::Std, 1e-6, 1.0, 101);
    EXPECT_EQ(out[1].pathway, "top");
    EXPECT_EQ(out[1].pval, 1e-6);
    EXPECT_FALSE(out[1].log2err);
}

// Records every report and asks to stop at the given one (never with 0).
struct Recorder final : ProgressObserver {
    explicit Recorder(std::size_t stop_at = 0) : stop_at(stop_at) {}
    bool checkpoint(Stage stage, std::uint64_t done, std::uint64_t total) override {
        reports.push_back({stage, done, total});
        return stop_at == 0 || reports.size() < stop_at;
    }
    std::size_t stop_at;
    std::vector<std::tuple<Stage, std::uint64_t, std::uint64_t>> reports;
};

TEST(DriverProgress, BothStagesReportedUpToTheirTotals) {
    const RankedList r = ranking(300);
    const std::vector<Pathway> p = {genes_at("top", range(0, 20)), genes_at("mid", range(100, 130))};
    Recorder recorder;
    const auto observed = run_gsea_internal(r, p, AnalysisOptions{.nperm = 300, .sample_size = 21}, &recorder);
    ASSERT_GE(recorder.reports.size(), 3u);
    const auto [last_stage, last_done, last_total] = recorder.reports.back();
    EXPECT_TRUE(std::get<0>(recorder.reports.front()) == Stage::Permutations && last_stage == Stage::Multilevel);
    EXPECT_EQ(last_done, last_total);
    bool permutations_done = false;
    for (const auto& [stage, done, total] : recorder.reports) {
        EXPECT_LE(done, total);
        permutations_done |= stage == Stage::Permutations && done == 300 && total == 300;
    }
    EXPECT_TRUE(permutations_done);
    // Observing changes nothing.
    const auto plain = run_gsea_internal(r, p, AnalysisOptions{.nperm = 300, .sample_size = 21});
    ASSERT_EQ(observed.size(), plain.size());
    for (std::size_t i = 0; i < plain.size(); ++i) EXPECT_EQ(observed[i].pval, plain[i].pval);
}

TEST(DriverProgress, AStopRequestUnwindsWithInterrupted) {
    const RankedList r = ranking(300);
    const std::vector<Pathway> p = {genes_at("top", range(0, 20)), genes_at("mid", range(100, 130))};
    for (std::size_t stop_at : {1, 2}) {
        Recorder recorder(stop_at);
        EXPECT_THROW((void)run_gsea_internal(r, p, AnalysisOptions{.nperm = 300}, &recorder), Interrupted);
        EXPECT_EQ(recorder.reports.size(), stop_at);
    }
    Recorder single(1);  // the single-pathway path stops too
    EXPECT_THROW((void)run_gsea_internal(r, {p[0]}, AnalysisOptions{.nperm = 5000, .run_multilevel = false}, &single),
                 Interrupted);
}

}  // namespace
}  // namespace rsvelmo
