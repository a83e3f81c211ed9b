// Times one analysis stage by stage: the library marks the end of each stage
// with a trace record, and the sink installed here stamps them.
//
//   stages [--permutations-only] THREADS GENE_SETS.gmt RANKS.rnk [RANKS.rnk ...]
//
// Runs the default analysis of each ranking in turn (or only its stages up
// to the permutations, for profiling them alone) and prints one JSON
// object: wall seconds per stage (summed over the rankings) and in total,
// the peak RSS, and the floor of the multilevel stage: the time it takes to
// draw, on one thread, exactly the random words its estimators drew (the
// same engines, seeds, order and index sampling), with no set work.
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <limits>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "algo.hpp"
#include "io.hpp"
#include "logging.hpp"
#include "pool.hpp"
#include "rng_compat.hpp"

namespace {

using Clock = std::chrono::steady_clock;

double seconds(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double>(b - a).count(); }

rsvelmo::RankedList read_rnk(const char* path) {
    std::ifstream in(path);
    if (!in) throw std::runtime_error(std::string("cannot open ") + path);
    std::vector<std::string> genes;
    std::vector<double> scores;
    std::string line;
    while (std::getline(in, line)) {
        const auto tab = line.find('\t');
        if (tab == std::string::npos) continue;
        genes.push_back(line.substr(0, tab));
        scores.push_back(std::stod(line.substr(tab + 1)));
    }
    return rsvelmo::RankedList(std::move(genes), std::move(scores));
}

// What one estimator drew, from its trace record
// "estimator n=N k=K sample=S seed=SEED cuts=C,C,... passes=P,P,...".
struct EstimatorTrace {
    std::uint64_t n = 0, k = 0, sample = 0, seed = 0;
    std::vector<std::uint64_t> cuts;   // sets replaced when each level formed
    std::vector<std::int64_t> passes;  // perturbation passes of each round, before doubling
};

EstimatorTrace parse_trace(const std::string& message) {
    EstimatorTrace t;
    std::istringstream words(message);
    std::string word;
    const auto list = [](const std::string& text, auto& out) {
        std::istringstream items(text);
        std::string item;
        while (std::getline(items, item, ',')) {
            if (!item.empty()) out.push_back(std::stoll(item));
        }
    };
    while (words >> word) {
        const auto eq = word.find('=');
        if (eq == std::string::npos) continue;
        const std::string key = word.substr(0, eq), value = word.substr(eq + 1);
        if (key == "n") t.n = std::stoull(value);
        if (key == "k") t.k = std::stoull(value);
        if (key == "sample") t.sample = std::stoull(value);
        if (key == "seed") t.seed = std::stoull(value);
        if (key == "cuts") list(value, t.cuts);
        if (key == "passes") list(value, t.passes);
    }
    return t;
}

// Draws what the estimator drew, in its order: the gene hashes, the first
// sample, the resampling of each level, and two index draws per proposal of
// every perturbation pass. Returns a value that depends on every word.
std::uint64_t replay(const EstimatorTrace& t) {
    rsvelmo::Mt19937 engine(static_cast<std::uint32_t>(t.seed));
    std::uint64_t sum = 0;
    for (std::uint64_t g = 0; g < t.n; ++g) sum += engine.next_u32();
    rsvelmo::CombinationSampler sampler;
    std::vector<std::uint64_t> set;
    for (std::uint64_t s = 0; s < t.sample; ++s) {
        sampler.draw(0, t.n - 1, t.k, engine, set);
        sum += set[0];
    }
    const auto resample = [&](std::uint64_t cut) {
        for (std::uint64_t i = 0; i < cut; ++i) sum += rsvelmo::uid_wrapper(0, t.sample - cut - 1, engine);
    };
    if (!t.cuts.empty()) resample(t.cuts[0]);
    const auto proposals = std::max<std::int64_t>(1, static_cast<std::int64_t>(static_cast<double>(t.k) * 0.1));
    const rsvelmo::UniformIndex member_index(t.k - 1), gene_index(t.n - 1);
    for (std::size_t round = 0; round < t.passes.size(); ++round) {
        // The passes until the level's target, then as many again, over every set.
        const std::int64_t in_round = 2 * t.passes[round] * static_cast<std::int64_t>(t.sample) * proposals;
        for (std::int64_t p = 0; p < in_round; ++p) sum += member_index.draw(engine) + gene_index.draw(engine);
        if (round + 1 < t.cuts.size()) resample(t.cuts[round + 1]);
    }
    return sum;
}

// FNV-1a over the bits of every result's numbers: two builds whose digests
// agree gave the same results bit for bit.
struct ResultDigest {
    std::uint64_t value = 14695981039346656037ull;
    void add_bits(double x) {
        std::uint64_t bits;
        std::memcpy(&bits, &x, sizeof bits);
        for (int i = 0; i < 8; ++i) value = (value ^ ((bits >> (8 * i)) & 0xff)) * 1099511628211ull;
    }
    void add(const rsvelmo::EnrichmentResult& r) {
        const double nan = std::numeric_limits<double>::quiet_NaN();
        for (double x : {r.es, r.nes.value_or(nan), r.pval, r.padj.value_or(nan), r.log2err.value_or(nan),
                         static_cast<double>(r.leading_edge.size())})
            add_bits(x);
    }
};

}  // namespace

int main(int argc, char** argv) {
    const bool multilevel = !(argc > 1 && std::string(argv[1]) == "--permutations-only");
    if (!multilevel) {
        --argc;
        ++argv;
    }
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s [--permutations-only] THREADS GENE_SETS.gmt RANKS.rnk [RANKS.rnk ...]\n",
                     argv[0]);
        return 2;
    }
    rsvelmo::pool::create(std::stoul(argv[1]));
    std::vector<std::pair<std::string, Clock::time_point>> marks;
    std::vector<EstimatorTrace> estimators;
    std::mutex estimators_lock;  // the estimators report from the worker threads
    rsvelmo::logging::set_sink([&](const rsvelmo::logging::Record& r) {
        const std::string prefix = "stage done: ";
        if (r.message.rfind(prefix, 0) == 0) marks.emplace_back(r.message.substr(prefix.size()), Clock::now());
        if (r.message.rfind("estimator ", 0) == 0) {
            const std::lock_guard<std::mutex> hold(estimators_lock);
            estimators.push_back(parse_trace(r.message));
        }
    });
    rsvelmo::logging::set_max_level(rsvelmo::logging::Level::Trace);

    std::vector<std::pair<std::string, double>> stages;  // in the order first seen
    const auto add = [&](const std::string& name, double s) {
        for (auto& [known, total] : stages) {
            if (known == name) {
                total += s;
                return;
            }
        }
        stages.emplace_back(name, s);
    };
    std::size_t pathways = 0;
    ResultDigest digest;
    const auto start = Clock::now();
    for (int arg = 3; arg < argc; ++arg) {
        marks.clear();
        const auto begin = Clock::now();
        rsvelmo::RankedList ranked = read_rnk(argv[arg]);
        auto db = rsvelmo::read_gmt(argv[2]);
        if (!db) {
            std::fprintf(stderr, "%s\n", db.error().c_str());
            return 1;
        }
        const auto read = Clock::now();
        add("reading", seconds(begin, read));
        const auto results = rsvelmo::run_gsea_internal(ranked, db.value().pathways,
                                                        rsvelmo::AnalysisOptions{.run_multilevel = multilevel});
        pathways += results.size();
        for (const auto& r : results) digest.add(r);
        auto previous = read;
        for (const auto& [name, when] : marks) {
            add(name, seconds(previous, when));
            previous = when;
        }
    }
    const auto end = Clock::now();

    const auto floor_start = Clock::now();
    // The replayed values are summed and printed so that no draw can be
    // optimised away.
    std::uint64_t replayed = 0;
    for (const auto& t : estimators) replayed += replay(t);
    const double floor = seconds(floor_start, Clock::now());

    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::ostringstream json;
    json << "{\"threads\": " << rsvelmo::pool::thread_count() << ", \"results\": " << pathways << ", \"stages\": {";
    for (std::size_t i = 0; i < stages.size(); ++i) {
        json << (i ? ", " : "") << "\"" << stages[i].first << "\": " << stages[i].second;
    }
    json << "}, \"wall\": " << seconds(start, end) << ", \"peak_rss_mb\": " << usage.ru_maxrss / 1024.0
         << ", \"estimators\": " << estimators.size() << ", \"floor\": " << floor
         << ", \"checksum\": " << replayed % 1000 << ", \"results_digest\": \"" << std::hex << digest.value << "\"}";
    std::cout << json.str() << std::endl;
    return 0;
}
