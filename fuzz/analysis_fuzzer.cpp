// A tiny ranking, a few gene sets and the analysis options, all built from
// the fuzz bytes. The analysis must not crash, and its results must be
// sound: p-values in [0, 1] or NaN, padj >= pval (up to rounding), leading
// edges within the pathway's genes.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "algo.hpp"
#include "core.hpp"
#include "pool.hpp"

namespace {

class Bytes {
public:
    Bytes(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    std::uint8_t next() { return at_ < size_ ? data_[at_++] : 0; }
    bool empty() const { return at_ >= size_; }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

void check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "violated: %s\n", what);
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const bool pool_made = rsvelmo::pool::create(2);
    (void)pool_made;
    Bytes in(data, size);

    const std::size_t n = 2 + in.next() % 39;
    std::vector<std::string> genes;
    std::vector<double> scores;
    const double scales[] = {1.0, 0.001, 1000.0, 1e-30};
    const double scale = scales[in.next() % 4];
    for (std::size_t i = 0; i < n; ++i) {
        genes.push_back("g" + std::to_string(in.next() % (n + 2)));  // repeats and unknown names occur
        scores.push_back(static_cast<std::int8_t>(in.next()) / 16.0 * scale);
    }
    const rsvelmo::ScoreType types[] = {rsvelmo::ScoreType::Std, rsvelmo::ScoreType::Pos, rsvelmo::ScoreType::Neg};
    const rsvelmo::ScoreType score_type = types[in.next() % 3];
    const double params[] = {1.0, 0.0, 0.5, 2.0};
    const double gsea_param = params[in.next() % 4];
    const bool multilevel = in.next() % 2 == 0;
    const std::uint64_t nperm = 1 + in.next() % 80;
    const std::uint64_t sample_size = 1 + in.next() % 16;
    const double eps = std::pow(10.0, -static_cast<double>(in.next() % 30));
    const std::uint64_t min_size = in.next() % 4;
    const std::uint64_t max_size = 1 + in.next() % 45;
    const std::uint64_t seed = in.next() * 7919u;

    std::vector<rsvelmo::Pathway> pathways(1 + in.next() % 5);
    for (std::size_t p = 0; p < pathways.size(); ++p) {
        pathways[p].name = "P" + std::to_string(in.next() % 4);  // names may repeat
        const std::size_t k = in.next() % (n + 3);
        for (std::size_t j = 0; j < k && !in.empty(); ++j) {
            pathways[p].genes.push_back("g" + std::to_string(in.next() % (n + 4)));
        }
    }

    rsvelmo::RankedList ranked(genes, scores);
    if (rsvelmo::weighting_problem(ranked, gsea_param)) return 0;  // refused before any analysis
    const auto results = rsvelmo::run_gsea_internal(
        ranked, pathways,
        {nperm, seed, min_size, max_size, score_type, multilevel, false, eps, gsea_param, sample_size});
    for (const auto& r : results) {
        check(std::isnan(r.pval) || (r.pval >= 0.0 && r.pval <= 1.0), "p-value in [0, 1] or NaN");
        // BH forms (p * n) / i, product first: rounding may leave padj up
        // to two units in the last place below p, never more.
        if (r.padj && r.pval <= 1.0 && *r.padj < r.pval * (1.0 - 0x1p-51)) {
            std::fprintf(stderr, "pathway %s: pval %a, padj %a, size %llu of %zu results\n", r.pathway.c_str(), r.pval,
                         *r.padj, static_cast<unsigned long long>(r.size), results.size());
            check(false, "padj >= pval");
        }
        std::set<std::string> members;
        for (const auto& p : pathways) {
            if (p.name == r.pathway) members.insert(p.genes.begin(), p.genes.end());
        }
        for (const auto& g : r.leading_edge) check(members.count(g) == 1, "leading edge within the pathway");
        check(r.leading_edge.size() <= r.size, "leading edge no larger than the pathway");
    }
    return 0;
}
