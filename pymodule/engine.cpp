#include "engine.hpp"

#include <new>
#include <string>
#include <unordered_map>
#include <vector>

#include "algo.hpp"
#include "algo_support.hpp"
#include "arguments.hpp"
#include "bindings.hpp"
#include "convert.hpp"
#include "errors.hpp"
#include "io.hpp"
#include "multilevel.hpp"
#include "parameters.hpp"
#include "pyref.hpp"

namespace rsvelmopy {

namespace {

// The parts of run_gsea's doc string around its parameters, which the
// parameter table fills in.
constexpr const char* kRunGseaSummary = "Run a preranked gene set enrichment analysis.\n\n";

constexpr const char* kRunGseaInputs =
    "ranks : dict or (sequence, sequence)\n"
    "    Gene name -> ranking score, or a pair (genes, scores) of equal length. Higher scores mean\n"
    "    more up-regulated; every score must be finite and every gene named once.\n"
    "gene_sets : str, os.PathLike or mapping\n"
    "    The path of a GMT file, or a mapping gene-set name -> iterable of gene names.\n";

constexpr const char* kRunGseaTail =
    "\nReturns\n-------\n"
    "list of dict\n"
    "    One dict per tested gene set, sorted by name, with the keys pathway, description, size,\n"
    "    es, nes, pval, padj, log2err and leading_edge (None where a value was not computed;\n"
    "    pval NaN), and flip_risk when `flip_risk_cut` is given.\n\n"
    "Raises\n------\n"
    "TypeError, ValueError\n"
    "    A bad argument, named in the message.\n"
    "OSError\n"
    "    The GMT file cannot be read (FileNotFoundError, PermissionError, ...).\n"
    "MemoryError\n"
    "    The multilevel estimators' sample cannot fit in memory.\n\n"
    "Warns\n-----\n"
    "RankingWarning\n"
    "    Ties among non-zero scores, or an all-positive ranking analysed two-sided.\n\n"
    "Notes\n-----\n"
    "The interpreter lock is released while the analysis runs; Ctrl-C (KeyboardInterrupt) stops it\n"
    "within a fraction of a second. Several threads may call this function at once.\n";

}  // namespace

const char* run_gsea_doc() {
    static const std::string doc = [] {
        std::string signature = "run_gsea(ranks, gene_sets, *";
        std::string entries;
        for (const Parameter& p : parameters()) {
            if (!p.package) continue;
            signature += ", " + signature_item(p.name, p, '\'');
            entries += doc_entry(p);
        }
        return signature + ")\n--\n\n" + kRunGseaSummary + "Parameters\n----------\n" + kRunGseaInputs + entries +
               kRunGseaTail;
    }();
    return doc.c_str();
}

const char kReadGmtDoc[] =
    "read_gmt(path)\n--\n\n"
    "Read a GMT file with the engine's reader.\n\n"
    "Returns a list of (name, description, genes) tuples in file order; description is None when\n"
    "the field is empty. Blank lines are skipped and gene names are trimmed of white space.\n";

namespace {

using rsvelmo::Error;

PyObject* g_ranking_warning = nullptr;  // owned by the module, which lives until the process ends

// Reports to the Python side from the analysis's own thread: takes the
// interpreter lock back, looks for signals (Ctrl-C), calls the progress
// callback and lets the lock go again. The first failure stops the
// analysis; its exception stays set for the caller.
class PythonCheckpoints final : public rsvelmo::ProgressObserver {
public:
    PythonCheckpoints(PyThreadState*& released, PyObject* callback) : released_(released), callback_(callback) {}

    bool checkpoint(rsvelmo::Stage stage, std::uint64_t done, std::uint64_t total) override {
        PyEval_RestoreThread(released_);
        bool ok = check_signals();
        if (ok && callback_ != nullptr) {
            PyRef answer = PyRef::steal(PyObject_CallFunction(callback_, "sKK", rsvelmo::stage_name(stage),
                                                              static_cast<unsigned long long>(done),
                                                              static_cast<unsigned long long>(total)));
            ok = static_cast<bool>(answer);
        }
        released_ = PyEval_SaveThread();
        return ok;
    }

private:
    PyThreadState*& released_;
    PyObject* callback_;
};

// A second name in a GMT file would give two rows that cannot be told apart.
std::optional<Error> repeated_name(const std::vector<rsvelmo::Pathway>& pathways, const std::string& path) {
    std::unordered_map<std::string_view, std::uint64_t> first_line;
    for (const auto& p : pathways) {
        const auto [it, fresh] = first_line.emplace(p.name, p.line);
        if (!fresh) {
            return Error::malformed(path, p.line,
                                    "gene set '" + p.name + "' is named a second time (first on line " +
                                        std::to_string(it->second) + "); give each gene set a unique name");
        }
    }
    return std::nullopt;
}

// The GMT file's gene sets, each name once.
rsvelmo::Result<rsvelmo::PathwayDb> read_unique_gmt(const std::string& path) {
    auto db = rsvelmo::read_gmt(path);
    if (db) {
        if (auto repeated = repeated_name(db.value().pathways, path)) return *repeated;
    }
    return db;
}

bool warn_about(const rsvelmo::RankedList& ranked, rsvelmo::ScoreType score_type) {
    for (const std::string& message : rsvelmo::ranking_diagnostics(ranked, score_type)) {
        if (!warn(g_ranking_warning, message)) return false;
    }
    return true;
}

}  // namespace

PyObject* run_gsea(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Request r;
    if (!parse_request(args, PyVectorcall_NARGS(nargs), kwnames, r)) return nullptr;
    Settings& s = r.settings;
    const auto fail = [](const Error& error) { return raise(error, Convention::Python); };
    const std::optional<rsvelmo::ScoreType> score_type =
        rsvelmo::parse_score_type(rsvelmo::unicode_lower(s.score_type));
    if (!score_type) {
        return fail(
            Error::argument("score_type", "score_type must be one of 'std', 'pos', 'neg', not '" + s.score_type + "'"));
    }
    const auto mode = rsvelmo::parse_interface_mode(s.mode);
    if (!mode) {
        return fail(
            Error::argument("mode", "mode must be one of 'velmo', 'multilevel', 'simple', not '" + s.mode + "'"));
    }
    if (auto problem = rsvelmo::non_finite_score(s.genes, s.scores)) return fail(Error::argument("ranks", *problem));

    rsvelmo::configure_pool(s.threads);
    const rsvelmo::RankedList ranked(std::move(s.genes), std::move(s.scores));
    if (auto problem = rsvelmo::weighting_problem(ranked, s.gsea_param)) {
        return fail(Error::argument("ranks", "ranks: " + *problem));
    }
    if (r.gmt_path) {
        auto db = read_unique_gmt(*r.gmt_path);
        if (!db) return fail(db.failure());
        r.pathways = std::move(db.value().pathways);
    }
    if (s.diagnostics && !warn_about(ranked, *score_type)) return nullptr;

    rsvelmo::AnalysisOptions options = rsvelmo::options_for(mode.value(), s.nperm, s.nperm_simple);
    options.refine_all = options.run_multilevel && s.refine_all;
    options.seed = s.seed;
    options.min_size = s.min_size;
    if (s.max_size) options.max_size = *s.max_size;  // else no bound: the driver keeps it below the ranking's size
    options.score_type = *score_type;
    options.eps = s.eps;
    options.gsea_param = s.gsea_param;
    options.sample_size = s.sample_size;
    options.settle_cut = s.stable_calls;

    PyRef callback = PyRef::borrow(s.progress);  // kept alive while the lock is released
    std::vector<rsvelmo::EnrichmentResult> results;
    bool interrupted = false;
    std::optional<Error> failure;  // a C++ exception is reported, never let through the C boundary
    PyThreadState* released = PyEval_SaveThread();
    try {
        PythonCheckpoints checkpoints(released, callback.get());
        results = rsvelmo::run_gsea_internal(ranked, r.pathways, options, &checkpoints);
    } catch (const rsvelmo::Interrupted&) {
        interrupted = true;
    } catch (const std::exception& e) {
        failure = failure_of(e);
    }
    PyEval_RestoreThread(released);
    if (interrupted) return nullptr;  // the checkpoint's exception is set
    if (failure) return fail(*failure);

    std::unordered_map<std::string_view, const std::optional<std::string>*> by_name;
    for (const auto& p : r.pathways) by_name.emplace(p.name, &p.description);
    std::vector<const std::optional<std::string>*> descriptions;
    descriptions.reserve(results.size());
    for (const auto& result : results) descriptions.push_back(by_name.at(result.pathway));
    if (!s.flip_risk_cut) return build_results(results, &descriptions);
    const double boundary = rsvelmo::call_boundary(results, *s.flip_risk_cut);
    std::vector<std::optional<double>> risks;
    risks.reserve(results.size());
    for (const auto& result : results) risks.push_back(rsvelmo::flip_risk(result, boundary));
    return build_results(results, &descriptions, &risks);
}

PyObject* read_gmt(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::string path;
    if (!parse_path_argument(args, PyVectorcall_NARGS(nargs), kwnames, path)) return nullptr;
    PyThreadState* released = PyEval_SaveThread();
    auto db = read_unique_gmt(path);
    PyEval_RestoreThread(released);
    if (!db) return raise(db.failure(), Convention::Python);
    return build_pathways(db.value().pathways);
}

bool add_engine_types(PyObject* module) {
    if (g_ranking_warning == nullptr) {
        g_ranking_warning = new_warning_category(
            "rsvelmopy.RankingWarning",
            "A ranking that can be analysed but is suspect: ties among non-zero scores (their order is the\n"
            "input order), or an all-positive ranking analysed two-sided.",
            PyExc_UserWarning);
        if (g_ranking_warning == nullptr) return false;
    }
    return PyModule_AddObjectRef(module, "RankingWarning", g_ranking_warning) == 0;
}

}  // namespace rsvelmopy
