#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "algo.hpp"
#include "internal/driver_detail.hpp"
#include "logging.hpp"
#include "pool.hpp"
#include "rng_compat.hpp"
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

// Random pathways of 15 to 60 genes, some drawn from the top of the list.
std::vector<Pathway> mixed_pathways(int n, int count, std::uint32_t seed) {
    Mt19937 engine(seed);
    std::vector<Pathway> out;
    for (int i = 0; i < count; ++i) {
        const std::uint64_t size = 15 + uid_wrapper(0, 45, engine);
        const std::uint64_t span = i % 7 == 0 ? 3 * size : static_cast<std::uint64_t>(n);
        std::vector<int> positions;
        for (auto p : combination(0, span - 1, size, engine)) positions.push_back(static_cast<int>(p));
        out.push_back(genes_at("P" + std::to_string(i), positions));
    }
    return out;
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

TEST(Driver, WithoutPermutationsNothingIsEstimated) {
    const RankedList r = ranking(30);
    const auto out = simple(r, {genes_at("P", {0, 1, 2}), genes_at("Q", {5, 9})}, 0);
    for (const auto& e : out) {
        EXPECT_FALSE(e.nes || e.padj || e.log2err);
        EXPECT_TRUE(std::isnan(e.pval));
    }
    EXPECT_EQ(out[0].leading_edge, (std::vector<std::string>{"g0", "g1", "g2"}));
}

TEST(Driver, RepeatedGeneNameUsesItsLastPosition) {
    const RankedList r({"x", "y", "x", "z"}, {4.0, 3.0, 2.0, 1.0});
    const auto out = simple(r, {Pathway{"P", {}, {"x"}}}, 0, ScoreType::Pos);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].es, 1.0 - 2.0 / 3.0);  // scored at position 2
}

TEST(Driver, ChunkLayouts) {
    using driver::single_pathway_chunks;
    using V = std::vector<std::uint64_t>;
    EXPECT_EQ(single_pathway_chunks(500, false), V{500});
    EXPECT_EQ(single_pathway_chunks(1000, false), V{1000});
    EXPECT_EQ(single_pathway_chunks(2500, false), (V{1000, 1000, 500}));
    const V big = single_pathway_chunks(200000, false);
    ASSERT_EQ(big.size(), 128u);
    EXPECT_EQ(big[0], 1563u);
    EXPECT_EQ(big[126], 1563u);
    EXPECT_EQ(big[127], 1499u);
    EXPECT_EQ(single_pathway_chunks(200000, true), V{200000});
}

class DebugRecords : public ::testing::Test {
protected:
    void SetUp() override {
        logging::set_max_level(logging::Level::Debug);
        logging::set_sink([this](const logging::Record& r) {
            if (r.target == "rsvelmo::algo" || r.target == "rsvelmo::multilevel") messages_.push_back(r.message);
        });
    }
    void TearDown() override {
        logging::set_sink({});
        logging::set_max_level(logging::Level::Off);
    }
    std::vector<std::string> messages_;
};

TEST_F(DebugRecords, SeedsOfTheSinglePathwayChunks) {
    const RankedList r = ranking(100);
    (void)simple(r, {genes_at("P", {0, 3, 5})}, 2500);
    EXPECT_EQ(messages_, (std::vector<std::string>{"base seed 707850213", "chunk 0: 1000 permutations, seed 707850213",
                                                   "chunk 1: 1000 permutations, seed 155243673",
                                                   "chunk 2: 500 permutations, seed 608797924"}));
}

TEST_F(DebugRecords, MultilevelSeedFollowsTheDiscardedDraws) {
    const RankedList r = ranking(300);
    const std::pair<int, const char*> cases[] = {
        {1, "multilevel seed 345547850 for 1 groups"},
        {2, "multilevel seed 608797924 for 2 groups"},
        {3, "multilevel seed 82033810 for 3 groups"},
    };
    for (const auto& [groups, expected] : cases) {
        messages_.clear();
        std::vector<Pathway> p;
        for (int g = 0; g < groups; ++g) p.push_back(genes_at("top" + std::to_string(g), range(0, 10 + g)));
        p.push_back(genes_at("plain", {3, 50, 100, 150, 200, 250, 299}));
        (void)velmo_multilevel_with_sample_size(r, p, 1000, 42, 1, 299, ScoreType::Std, 1e-10, 1.0, 11);
        ASSERT_FALSE(messages_.empty());
        EXPECT_EQ(messages_.back(), expected);
    }
}

TEST(Driver, PermutationStatistics) {
    const RankedList r = ranking(400);
    const auto out = simple(r, {genes_at("top", range(0, 20)), genes_at("bottom", range(380, 400))}, 1000);
    const auto& bottom = out[0];
    const auto& top = out[1];
    EXPECT_GT(top.es, 0.9);
    EXPECT_GT(*top.nes, 1.0);
    EXPECT_LT(*bottom.nes, -1.0);
    EXPECT_LT(top.pval, 0.01);
    // No random set reaches the top pathway: log2err = sqrt(psi1(1) - psi1(1001)) * log2(e), within what
    // trigamma libraries agree on.
    EXPECT_NEAR(*top.log2err, 0x1.d98a447400f16p+0, 2e-13);
    EXPECT_TRUE(top.padj.has_value());
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

std::string serialise(const std::vector<EnrichmentResult>& results) {
    std::ostringstream out;
    for (const auto& e : results) {
        out << e.pathway << ' ' << e.size << ' ' << testing::bits_of(e.es) << ' ' << testing::bits_of(e.pval) << ' '
            << (e.nes ? testing::bits_of(*e.nes) : 1) << ' ' << (e.padj ? testing::bits_of(*e.padj) : 1) << ' '
            << (e.log2err ? testing::bits_of(*e.log2err) : 1) << ' ' << e.leading_edge.size() << '\n';
    }
    return out.str();
}

std::string analyse_all_modes() {
    const RankedList r = ranking(1500);
    const auto many = mixed_pathways(1500, 140, 3);
    std::string all = serialise(simple(r, many, 300));
    all += serialise(velmo_multilevel_with_sample_size(r, many, 300, 7, 15, 60, ScoreType::Std, 1e-12, 1.0, 21));
    all += serialise(velmo_multilevel_with_sample_size(r, many, 300, 7, 15, 60, ScoreType::Pos, 1e-12, 1.0, 21));
    all += serialise(simple(r, {many[5]}, 4500));  // one pathway: five chunks of its own streams
    return all;
}

TEST(DriverDeathTest, ResultsDoNotDependOnTheThreadCount) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const std::string dir = ::testing::TempDir();
    const std::vector<std::size_t> counts = {1, 2, 3, 16};
    for (std::size_t threads : counts) {
        const std::string path = dir + "rsvelmo_driver_" + std::to_string(threads) + ".txt";
        EXPECT_EXIT(
            {
                pool::create(threads);
                std::ofstream(path) << analyse_all_modes();
                std::exit(0);
            },
            ::testing::ExitedWithCode(0), "");
    }
    const auto read = [&](std::size_t threads) {
        std::ifstream in(dir + "rsvelmo_driver_" + std::to_string(threads) + ".txt");
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    const std::string one = read(1);
    EXPECT_GT(one.size(), 1000u);
    for (std::size_t threads : counts) EXPECT_EQ(one, read(threads)) << threads << " threads";
}

}  // namespace
}  // namespace rsvelmo

namespace rsvelmo {
namespace {

// Records every report and asks to stop at the given one (never with 0).
class Recorder final : public ProgressObserver {
public:
    explicit Recorder(std::size_t stop_at = 0) : stop_at_(stop_at) {}
    bool checkpoint(Stage stage, std::uint64_t done, std::uint64_t total) override {
        reports.push_back({stage, done, total});
        return stop_at_ == 0 || reports.size() < stop_at_;
    }
    struct Report {
        Stage stage;
        std::uint64_t done, total;
    };
    std::vector<Report> reports;

private:
    std::size_t stop_at_;
};

TEST(DriverProgress, BothStagesReportedUpToTheirTotals) {
    const RankedList r = ranking(300);
    const std::vector<Pathway> p = {genes_at("top", range(0, 20)), genes_at("mid", range(100, 130))};
    Recorder recorder;
    const auto observed = run_gsea_internal(r, p, AnalysisOptions{.nperm = 300, .sample_size = 21}, &recorder);
    ASSERT_GE(recorder.reports.size(), 3u);
    EXPECT_EQ(recorder.reports.front().stage, Stage::Permutations);
    EXPECT_EQ(recorder.reports.back().stage, Stage::Multilevel);
    EXPECT_EQ(recorder.reports.back().done, recorder.reports.back().total);
    bool permutations_done = false;
    for (const auto& report : recorder.reports) {
        EXPECT_LE(report.done, report.total);
        permutations_done |= report.stage == Stage::Permutations && report.done == 300 && report.total == 300;
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
