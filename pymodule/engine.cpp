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
#include "pyref.hpp"

namespace rsvelmopy {

const char kRunGseaDoc[] =
    "run_gsea(ranks, gene_sets, *, mode='velmo', nperm=None, nperm_simple=1000, seed=42, threads=0, "
    "min_size=1, max_size=None, eps=1e-50, score_type='std', gsea_param=1.0, sample_size=101, progress=None, "
    "refine_all=False, diagnostics=True, stable_calls=None)\n--\n\n"
    "Run a preranked gene set enrichment analysis.\n\n"
    "Parameters\n----------\n"
    "ranks : dict or (sequence, sequence)\n"
    "    Gene name -> ranking score, or a pair (genes, scores) of equal length. Higher scores mean\n"
    "    more up-regulated; every score must be finite and every gene named once.\n"
    "gene_sets : str, os.PathLike or mapping\n"
    "    The path of a GMT file, or a mapping gene-set name -> iterable of gene names.\n"
    "mode : {'velmo', 'multilevel', 'simple'}\n"
    "    'simple': permutations only. 'multilevel': permutations, then multilevel refinement of\n"
    "    the p-values the permutations cannot resolve. 'velmo' (default): 'simple' with `nperm`\n"
    "    permutations when `nperm` is given, else 'multilevel'.\n"
    "nperm : int, optional\n"
    "    Permutations of the simple analysis (at least 1).\n"
    "nperm_simple : int\n"
    "    Permutations before the multilevel refinement (at least 1).\n"
    "seed : int\n"
    "    Seed of every random stream; results do not depend on `threads`.\n"
    "threads : int\n"
    "    Size of the process-wide worker pool, fixed by the first call that creates it; 0 leaves\n"
    "    the choice to the pool (RAYON_NUM_THREADS, else the hardware threads).\n"
    "min_size, max_size : int\n"
    "    Inclusive bounds on a gene set's size among the ranked genes (at least 1; max_size None:\n"
    "    no bound).\n"
    "eps : float\n"
    "    Smallest p-value the multilevel refinement computes, in [0, 1].\n"
    "score_type : {'std', 'pos', 'neg'}\n"
    "    Two-sided score, or the positive or negative deviation only.\n"
    "gsea_param : float\n"
    "    Exponent of the score weights (finite, at least 0).\n"
    "sample_size : int\n"
    "    Sample size of the multilevel estimator (at least 3).\n"
    "progress : callable, optional\n"
    "    Called as progress(stage, done, total) from the calling thread, at least every ~100 ms\n"
    "    and between stages; stage is 'permutations' or 'multilevel'. An exception it raises\n"
    "    stops the analysis and propagates.\n"
    "refine_all : bool\n"
    "    With the multilevel analysis, refine every gene set, not only those whose permutation\n"
    "    p-value is too coarse.\n"
    "stable_calls : float, optional\n"
    "    With the multilevel analysis, settle the calls at this padj cut: gene sets whose p-value\n"
    "    lies within 2.576 standard errors (log2err) of the Benjamini-Hochberg cut get new\n"
    "    estimates with 4, 16, ... times `sample_size`, nearest the cut first, until they are\n"
    "    that far or the new estimates would cost more than half the refinement's own.\n"
    "    None (default): do not.\n"
    "diagnostics : bool\n"
    "    Whether to issue the RankingWarning diagnostics (callers that check rankings themselves\n"
    "    turn them off).\n\n"
    "Returns\n-------\n"
    "list of dict\n"
    "    One dict per tested gene set, sorted by name, with the keys pathway, description, size,\n"
    "    es, nes, pval, padj, log2err and leading_edge (None where a value was not computed;\n"
    "    pval NaN).\n\n"
    "Raises\n------\n"
    "TypeError, ValueError\n"
    "    A bad argument, named in the message.\n"
    "OSError\n"
    "    The GMT file cannot be read (FileNotFoundError, PermissionError, ...).\n\n"
    "Warns\n-----\n"
    "RankingWarning\n"
    "    Ties among non-zero scores, or an all-positive ranking analysed two-sided.\n\n"
    "Notes\n-----\n"
    "The interpreter lock is released while the analysis runs; Ctrl-C (KeyboardInterrupt) stops it\n"
    "within a fraction of a second. Several threads may call this function at once.\n";

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
    if (r.diagnostics && !warn_about(ranked, *score_type)) return nullptr;

    rsvelmo::AnalysisOptions options = rsvelmo::options_for(mode.value(), s.nperm, s.nperm_simple);
    options.refine_all = options.run_multilevel && r.refine_all;
    options.seed = s.seed;
    options.min_size = s.min_size;
    if (s.max_size) options.max_size = *s.max_size;  // else no bound: the driver keeps it below the ranking's size
    options.score_type = *score_type;
    options.eps = s.eps;
    options.gsea_param = s.gsea_param;
    options.sample_size = s.sample_size;
    options.settle_cut = r.stable_calls;

    PyRef callback = PyRef::borrow(r.progress);  // kept alive while the lock is released
    std::vector<rsvelmo::EnrichmentResult> results;
    bool interrupted = false;
    std::optional<Error> failure;  // a C++ exception is reported, never let through the C boundary
    PyThreadState* released = PyEval_SaveThread();
    try {
        PythonCheckpoints checkpoints(released, callback.get());
        results = rsvelmo::run_gsea_internal(ranked, r.pathways, options, &checkpoints);
    } catch (const rsvelmo::Interrupted&) {
        interrupted = true;
    } catch (const std::bad_alloc&) {
        failure = Error::of(Error::Kind::OutOfMemory, "out of memory");
    } catch (const std::exception& e) {
        failure = Error::of(Error::Kind::Internal, std::string("the analysis failed: ") + e.what());
    }
    PyEval_RestoreThread(released);
    if (interrupted) return nullptr;  // the checkpoint's exception is set
    if (failure) return fail(*failure);

    std::unordered_map<std::string_view, const std::optional<std::string>*> by_name;
    for (const auto& p : r.pathways) by_name.emplace(p.name, &p.description);
    std::vector<const std::optional<std::string>*> descriptions;
    descriptions.reserve(results.size());
    for (const auto& result : results) descriptions.push_back(by_name.at(result.pathway));
    return build_results(results, &descriptions);
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
