// Times one analysis stage by stage: the library marks the end of each stage
// with a trace record, and the sink installed here stamps them.
//
//   stages [--permutations-only] THREADS GENE_SETS.gmt RANKS.rnk [RANKS.rnk ...]
//
// Runs the default analysis of each ranking in turn (or only its stages up
// to the permutations, for profiling them alone) and prints one JSON
// object: wall seconds per stage (summed over the rankings) and in total,
// and the peak RSS.
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "algo.hpp"
#include "io.hpp"
#include "logging.hpp"
#include "pool.hpp"

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
    rsvelmo::logging::set_sink([&](const rsvelmo::logging::Record& r) {
        const std::string prefix = "stage done: ";
        if (r.message.rfind(prefix, 0) == 0) marks.emplace_back(r.message.substr(prefix.size()), Clock::now());
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
        pathways += rsvelmo::run_gsea_internal(ranked, db.value().pathways,
                                               rsvelmo::AnalysisOptions{.run_multilevel = multilevel})
                        .size();
        auto previous = read;
        for (const auto& [name, when] : marks) {
            add(name, seconds(previous, when));
            previous = when;
        }
    }
    const auto end = Clock::now();

    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::ostringstream json;
    json << "{\"threads\": " << rsvelmo::pool::thread_count() << ", \"results\": " << pathways << ", \"stages\": {";
    for (std::size_t i = 0; i < stages.size(); ++i) {
        json << (i ? ", " : "") << "\"" << stages[i].first << "\": " << stages[i].second;
    }
    json << "}, \"wall\": " << seconds(start, end) << ", \"peak_rss_mb\": " << usage.ru_maxrss / 1024.0 << "}";
    std::cout << json.str() << std::endl;
    return 0;
}
