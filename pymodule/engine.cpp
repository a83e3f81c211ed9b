#include "engine.hpp"

#include <array>
#include <cmath>
#include <new>
#include <string>
#include <unordered_map>
#include <vector>

#include "algo.hpp"
#include "algo_support.hpp"
#include "bindings.hpp"
#include "convert.hpp"
#include "io.hpp"
#include "pyref.hpp"

namespace rsvelmopy {

const char kRunGseaDoc[] =
    "run_gsea(ranks, gene_sets, *, mode='velmo', nperm=None, nperm_simple=1000, seed=42, threads=0, "
    "min_size=1, max_size=None, eps=1e-50, score_type='std', gsea_param=1.0, sample_size=101, progress=None, "
    "refine_all=False, diagnostics=True)\n--\n\n"
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

constexpr const char* kRunGsea = "run_gsea()";
constexpr std::array<const char*, 16> kRunGseaParameters = {
    "ranks",    "gene_sets", "mode",       "nperm",      "nperm_simple", "seed",     "threads",    "min_size",
    "max_size", "eps",       "score_type", "gsea_param", "sample_size",  "progress", "refine_all", "diagnostics"};

PyObject* g_ranking_warning = nullptr;  // owned by the module, which lives until the process ends

struct Request {
    std::vector<std::string> genes;
    std::vector<double> scores;
    std::optional<std::string> gmt_path;     // a file, or
    std::vector<rsvelmo::Pathway> pathways;  // gene sets given in memory
    std::string mode = "velmo";
    std::optional<std::uint64_t> nperm;
    std::uint64_t nperm_simple = 1000;
    std::uint64_t seed = 42;
    std::uint64_t threads = 0;
    std::uint64_t min_size = 1;
    std::optional<std::uint64_t> max_size;
    double eps = 1e-50;
    std::string score_type = "std";
    double gsea_param = 1.0;
    std::uint64_t sample_size = 101;
    PyObject* progress = nullptr;  // borrowed from the arguments; NULL or None: no callback
    bool refine_all = false;
    bool diagnostics = true;
};

bool value_error(const std::string& message) {
    raise(ErrorKind::Value, message);
    return false;
}

// A sequence's items as a list or tuple (PySequence_Fast), or NULL.
PyRef fast_sequence(PyObject* obj, const char* what) {
    if (PyUnicode_Check(obj) || PyBytes_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "%s argument 'ranks': %s must be a sequence, not %.200s", kRunGsea, what,
                     Py_TYPE(obj)->tp_name);
        return {};
    }
    return PyRef::steal(PySequence_Fast(obj, "run_gsea() argument 'ranks' must be a dict or a pair (genes, scores)"));
}

bool to_ranks_pair(PyObject* obj, Request& r) {
    PyRef genes = fast_sequence(PySequence_Fast_GET_ITEM(obj, 0), "the genes");
    if (!genes) return false;
    PyRef scores = fast_sequence(PySequence_Fast_GET_ITEM(obj, 1), "the scores");
    if (!scores) return false;
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(genes.get());
    if (PySequence_Fast_GET_SIZE(scores.get()) != n) {
        return value_error("ranks: " + std::to_string(n) + " genes but " +
                           std::to_string(PySequence_Fast_GET_SIZE(scores.get())) + " scores");
    }
    std::unordered_map<std::string, Py_ssize_t> seen;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* gene = PySequence_Fast_GET_ITEM(genes.get(), i);
        if (!PyUnicode_Check(gene)) {
            PyErr_Format(PyExc_TypeError, "%s argument 'ranks': gene names must be str, not %.200s (item %zd)",
                         kRunGsea, Py_TYPE(gene)->tp_name, i);
            return false;
        }
        std::string name;
        double score;
        if (!to_string(kRunGsea, "ranks", gene, name) ||
            !to_double(kRunGsea, "ranks", PySequence_Fast_GET_ITEM(scores.get(), i), score)) {
            return false;
        }
        if (!seen.emplace(name, i).second) {
            return value_error("ranks: gene '" + name + "' occurs more than once; give each gene one score");
        }
        r.genes.push_back(std::move(name));
        r.scores.push_back(score);
    }
    return true;
}

bool to_ranks_any(PyObject* obj, Request& r) {
    if (PyDict_Check(obj)) return to_ranks(kRunGsea, "ranks", obj, r.genes, r.scores);
    if ((PyTuple_Check(obj) || PyList_Check(obj)) && PySequence_Size(obj) == 2) return to_ranks_pair(obj, r);
    PyErr_Format(PyExc_TypeError, "%s argument 'ranks' must be a dict or a pair (genes, scores), not %.200s", kRunGsea,
                 Py_TYPE(obj)->tp_name);
    return false;
}

bool to_path(PyObject* obj, std::string& out) {
    PyRef path = PyRef::steal(PyOS_FSPath(obj));
    if (!path) return false;
    PyRef text = PyBytes_Check(path.get()) ? PyRef::steal(PyUnicode_DecodeFSDefaultAndSize(
                                                 PyBytes_AS_STRING(path.get()), PyBytes_GET_SIZE(path.get())))
                                           : std::move(path);
    if (!text || !to_string(kRunGsea, "gene_sets", text.get(), out)) return false;
    if (out.find('\0') != std::string::npos) return value_error("gene_sets: embedded null byte in the file name");
    return true;
}

bool to_gene_set(PyObject* name, PyObject* genes, rsvelmo::Pathway& out) {
    if (!PyUnicode_Check(name)) {
        PyErr_Format(PyExc_TypeError, "%s argument 'gene_sets': gene-set names must be str, not %.200s", kRunGsea,
                     Py_TYPE(name)->tp_name);
        return false;
    }
    if (!to_string(kRunGsea, "gene_sets", name, out.name)) return false;
    if (PyUnicode_Check(genes) || PyBytes_Check(genes)) {
        return value_error("gene_sets: gene set '" + out.name + "' is a single string; give a list of gene names");
    }
    PyRef iterator = PyRef::steal(PyObject_GetIter(genes));
    if (!iterator) {
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError,
                     "%s argument 'gene_sets': the genes of '%s' must be an iterable of str, not %.200s", kRunGsea,
                     out.name.c_str(), Py_TYPE(genes)->tp_name);
        return false;
    }
    while (PyRef gene = PyRef::steal(PyIter_Next(iterator.get()))) {
        if (!PyUnicode_Check(gene.get())) {
            PyErr_Format(PyExc_TypeError, "%s argument 'gene_sets': the genes of '%s' must be str, not %.200s",
                         kRunGsea, out.name.c_str(), Py_TYPE(gene.get())->tp_name);
            return false;
        }
        std::string text;
        if (!to_string(kRunGsea, "gene_sets", gene.get(), text)) return false;
        out.genes.push_back(std::move(text));
    }
    if (PyErr_Occurred()) return false;
    if (out.genes.empty()) return value_error("gene_sets: gene set '" + out.name + "' has no genes");
    return true;
}

bool to_gene_sets(PyObject* obj, Request& r) {
    if (PyUnicode_Check(obj) || PyBytes_Check(obj) || PyObject_HasAttrString(obj, "__fspath__")) {
        r.gmt_path.emplace();
        return to_path(obj, *r.gmt_path);
    }
    if (!PyMapping_Check(obj) || PySequence_Check(obj)) {
        PyErr_Format(PyExc_TypeError,
                     "%s argument 'gene_sets' must be a GMT file path or a mapping name -> genes, not %.200s", kRunGsea,
                     Py_TYPE(obj)->tp_name);
        return false;
    }
    PyRef items = PyRef::steal(PyMapping_Items(obj));
    if (!items) return false;
    const Py_ssize_t count = PyList_GET_SIZE(items.get());
    r.pathways.resize(static_cast<std::size_t>(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* item = PyList_GET_ITEM(items.get(), i);
        if (!PyTuple_Check(item) || PyTuple_GET_SIZE(item) != 2) {
            PyErr_SetString(PyExc_TypeError, "run_gsea() argument 'gene_sets': items() must give (name, genes) pairs");
            return false;
        }
        if (!to_gene_set(PyTuple_GET_ITEM(item, 0), PyTuple_GET_ITEM(item, 1), r.pathways[i])) return false;
    }
    return true;
}

// A non-negative Python int as unsigned 64 bits; a negative or huge one is
// a ValueError naming the parameter.
bool to_count(const char* parameter, PyObject* obj, std::uint64_t& out) {
    if (!PyIndex_Check(obj)) return to_u64(kRunGsea, parameter, obj, out);  // the binder's TypeError
    PyRef index = PyRef::steal(PyNumber_Index(obj));
    if (!index) return false;
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    if (value == -1 && PyErr_Occurred()) return false;
    if (overflow < 0 || (overflow == 0 && value < 0)) {
        return value_error(std::string(parameter) + " must not be negative");
    }
    if (overflow > 0) {
        const unsigned long long big = PyLong_AsUnsignedLongLong(index.get());
        if (PyErr_Occurred()) {
            PyErr_Clear();
            return value_error(std::string(parameter) + " must be less than 2**64");
        }
        out = big;
        return true;
    }
    out = static_cast<std::uint64_t>(value);
    return true;
}

bool to_optional_count(const char* parameter, PyObject* obj, std::optional<std::uint64_t>& out) {
    if (obj == Py_None) return true;
    out.emplace();
    return to_count(parameter, obj, *out);
}

bool parse_request(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Request& r) {
    std::array<PyObject*, kRunGseaParameters.size()> s;
    const Signature signature{kRunGsea, kRunGseaParameters, 2, 2};
    if (!bind(signature, args, nargs, kwnames, s)) return false;
    const char* f = kRunGsea;
    if (!(to_ranks_any(s[0], r) && to_gene_sets(s[1], r) && (!s[2] || to_string(f, "mode", s[2], r.mode)) &&
          (!s[3] || to_optional_count("nperm", s[3], r.nperm)) &&
          (!s[4] || to_count("nperm_simple", s[4], r.nperm_simple)) && (!s[5] || to_count("seed", s[5], r.seed)) &&
          (!s[6] || to_count("threads", s[6], r.threads)) && (!s[7] || to_count("min_size", s[7], r.min_size)) &&
          (!s[8] || to_optional_count("max_size", s[8], r.max_size)) && (!s[9] || to_double(f, "eps", s[9], r.eps)) &&
          (!s[10] || to_string(f, "score_type", s[10], r.score_type)) &&
          (!s[11] || to_double(f, "gsea_param", s[11], r.gsea_param)) &&
          (!s[12] || to_count("sample_size", s[12], r.sample_size)))) {
        return false;
    }
    if (s[13] != nullptr && s[13] != Py_None) {
        if (!PyCallable_Check(s[13])) {
            PyErr_Format(PyExc_TypeError, "%s argument 'progress' must be callable or None, not %.200s", f,
                         Py_TYPE(s[13])->tp_name);
            return false;
        }
        r.progress = s[13];
    }
    return (!s[14] || to_bool(f, "refine_all", s[14], r.refine_all)) &&
           (!s[15] || to_bool(f, "diagnostics", s[15], r.diagnostics));
}

// Settings no analysis can answer meaningfully, named by parameter.
bool check_settings(const Request& r) {
    if (r.nperm && *r.nperm < 1) return value_error("nperm must be at least 1 (or None)");
    if (r.nperm_simple < 1) return value_error("nperm_simple must be at least 1");
    if (r.min_size < 1) return value_error("min_size must be at least 1");
    if (r.max_size && *r.max_size < 1) return value_error("max_size must be at least 1 (or None)");
    if (r.max_size && r.min_size > *r.max_size) {
        return value_error("min_size (" + std::to_string(r.min_size) + ") must not exceed max_size (" +
                           std::to_string(*r.max_size) + ")");
    }
    if (!(r.eps >= 0.0 && r.eps <= 1.0))
        return value_error("eps must lie in [0, 1], not " + rsvelmo::format_double(r.eps));
    if (!(std::isfinite(r.gsea_param) && r.gsea_param >= 0.0)) {
        return value_error("gsea_param must be a finite number >= 0, not " + rsvelmo::format_double(r.gsea_param));
    }
    if (r.sample_size < 3) return value_error("sample_size must be at least 3");
    return true;
}

// Reports to the Python side from the analysis's own thread: takes the
// interpreter lock back, looks for signals (Ctrl-C), calls the progress
// callback and lets the lock go again. The first failure stops the
// analysis; its exception stays set for the caller.
class PythonCheckpoints final : public rsvelmo::ProgressObserver {
public:
    PythonCheckpoints(PyThreadState*& released, PyObject* callback) : released_(released), callback_(callback) {}

    bool checkpoint(rsvelmo::Stage stage, std::uint64_t done, std::uint64_t total) override {
        PyEval_RestoreThread(released_);
        bool ok = PyErr_CheckSignals() == 0;
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
bool check_unique_names(const std::vector<rsvelmo::Pathway>& pathways, const std::string& path) {
    std::unordered_map<std::string_view, std::uint64_t> first_line;
    for (const auto& p : pathways) {
        const auto [it, fresh] = first_line.emplace(p.name, p.line);
        if (!fresh) {
            return value_error(path + ", line " + std::to_string(p.line) + ": gene set '" + p.name +
                               "' is named a second time (first on line " + std::to_string(it->second) +
                               "); give each gene set a unique name");
        }
    }
    return true;
}

bool warn_about(const rsvelmo::RankedList& ranked, rsvelmo::ScoreType score_type) {
    for (const std::string& message : rsvelmo::ranking_diagnostics(ranked, score_type)) {
        if (PyErr_WarnEx(g_ranking_warning, message.c_str(), 1) < 0) return false;
    }
    return true;
}

}  // namespace

PyObject* run_gsea(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Request r;
    if (!parse_request(args, PyVectorcall_NARGS(nargs), kwnames, r) || !check_settings(r)) return nullptr;
    const std::optional<rsvelmo::ScoreType> score_type =
        rsvelmo::parse_score_type(rsvelmo::unicode_lower(r.score_type));
    if (!score_type)
        return raise(ErrorKind::Value, "score_type must be one of 'std', 'pos', 'neg', not '" + r.score_type + "'");
    const auto mode = rsvelmo::parse_interface_mode(r.mode);
    if (!mode)
        return raise(ErrorKind::Value, "mode must be one of 'velmo', 'multilevel', 'simple', not '" + r.mode + "'");
    if (auto problem = rsvelmo::non_finite_score(r.genes, r.scores)) return raise(ErrorKind::Value, *problem);

    rsvelmo::configure_pool(r.threads);
    const rsvelmo::RankedList ranked(std::move(r.genes), std::move(r.scores));
    if (auto problem = rsvelmo::weighting_problem(ranked, r.gsea_param)) {
        return raise(ErrorKind::Value, "ranks: " + *problem);
    }
    if (r.gmt_path) {
        auto db = rsvelmo::read_gmt(*r.gmt_path);
        if (!db) return raise_file_error(db.failure(), *r.gmt_path);
        r.pathways = std::move(db.value().pathways);
        if (!check_unique_names(r.pathways, *r.gmt_path)) return nullptr;
    }
    if (r.diagnostics && !warn_about(ranked, *score_type)) return nullptr;

    // The same dispatch as run_gsea_py: velmo is simple with nperm, else multilevel.
    rsvelmo::AnalysisOptions options;
    const bool simple =
        mode.value() == rsvelmo::InterfaceMode::Simple || (mode.value() == rsvelmo::InterfaceMode::Velmo && r.nperm);
    options.run_multilevel = !simple;
    options.refine_all = !simple && r.refine_all;
    options.nperm = simple ? r.nperm.value_or(r.nperm_simple) : r.nperm_simple;
    options.seed = r.seed;
    options.min_size = r.min_size;
    options.max_size = r.max_size ? *r.max_size : (ranked.size() == 0 ? 0 : ranked.size() - 1);
    options.score_type = *score_type;
    options.eps = r.eps;
    options.gsea_param = r.gsea_param;
    options.sample_size = r.sample_size;

    PyRef callback = PyRef::borrow(r.progress);  // kept alive while the lock is released
    std::vector<rsvelmo::EnrichmentResult> results;
    bool interrupted = false, out_of_memory = false;
    std::string failure;  // any other C++ exception: reported, never let through the C boundary
    PyThreadState* released = PyEval_SaveThread();
    try {
        PythonCheckpoints checkpoints(released, callback.get());
        results = rsvelmo::run_gsea_internal(ranked, r.pathways, options, &checkpoints);
    } catch (const rsvelmo::Interrupted&) {
        interrupted = true;
    } catch (const std::bad_alloc&) {
        out_of_memory = true;
    } catch (const std::exception& e) {
        failure = e.what();
    }
    PyEval_RestoreThread(released);
    if (interrupted) return nullptr;  // the checkpoint's exception is set
    if (out_of_memory) return PyErr_NoMemory();
    if (!failure.empty()) return raise(ErrorKind::Runtime, "the analysis failed: " + failure);

    std::unordered_map<std::string_view, const std::optional<std::string>*> by_name;
    for (const auto& p : r.pathways) by_name.emplace(p.name, &p.description);
    std::vector<const std::optional<std::string>*> descriptions;
    descriptions.reserve(results.size());
    for (const auto& result : results) descriptions.push_back(by_name.at(result.pathway));
    return build_results(results, &descriptions);
}

PyObject* read_gmt(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr std::array<const char*, 1> kParameters = {"path"};
    std::array<PyObject*, 1> s;
    if (!bind({"read_gmt()", kParameters, 1, 1}, args, PyVectorcall_NARGS(nargs), kwnames, s)) return nullptr;
    std::string path;
    PyRef fs = PyRef::steal(PyOS_FSPath(s[0]));
    if (!fs || !to_string("read_gmt()", "path", fs.get(), path)) return nullptr;
    if (path.find('\0') != std::string::npos) return raise(ErrorKind::Value, "path: embedded null byte");
    rsvelmo::Result<rsvelmo::PathwayDb> db = [&] {
        PyThreadState* released = PyEval_SaveThread();
        auto read = rsvelmo::read_gmt(path);
        PyEval_RestoreThread(released);
        return read;
    }();
    if (!db) return raise_file_error(db.failure(), path);
    const auto& pathways = db.value().pathways;
    if (!check_unique_names(pathways, path)) return nullptr;
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(pathways.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < pathways.size(); ++i) {
        const rsvelmo::Pathway& p = pathways[i];
        PyRef genes = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(p.genes.size())));
        if (!genes) return nullptr;
        for (std::size_t g = 0; g < p.genes.size(); ++g) {
            PyObject* gene = new_str(p.genes[g]);
            if (gene == nullptr) return nullptr;
            PyList_SET_ITEM(genes.get(), static_cast<Py_ssize_t>(g), gene);
        }
        PyRef name = PyRef::steal(new_str(p.name));
        PyRef description = p.description ? PyRef::steal(new_str(*p.description)) : PyRef::borrow(Py_None);
        if (!name || !description) return nullptr;
        PyObject* entry = PyTuple_Pack(3, name.get(), description.get(), genes.get());
        if (entry == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), entry);
    }
    return list.release();
}

bool add_engine_types(PyObject* module) {
    if (g_ranking_warning == nullptr) {
        g_ranking_warning = PyErr_NewExceptionWithDoc(
            "rsvelmopy.RankingWarning",
            "A ranking that can be analysed but is suspect: ties among non-zero scores (their order is the\n"
            "input order), or an all-positive ranking analysed two-sided.",
            PyExc_UserWarning, nullptr);
        if (g_ranking_warning == nullptr) return false;
    }
    return PyModule_AddObjectRef(module, "RankingWarning", g_ranking_warning) == 0;
}

}  // namespace rsvelmopy
