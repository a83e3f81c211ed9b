// The CPython extension module rsvelmopy: run_gsea_py, the entry with the
// reference signature that holds the interpreter lock for the whole call,
// and the functions the Python package is built on (run_gsea, read_gmt).
#include <Python.h>

#include <array>

#include "algo.hpp"
#include "bindings.hpp"
#include "convert.hpp"
#include "engine.hpp"
#include "io.hpp"
#include "pyref.hpp"

namespace rsvelmopy {
namespace {

using rsvelmo::ScoreType;

const char kRunGseaPySignature[] =
    "run_gsea_py(ranks, gmt_path, nPermSimple=1000, seed=42, nproc=0, minSize=1, maxSize=None, eps=1e-50, "
    "scoreType=\"std\", gseaParam=1.0, mode=\"velmo\", nperm=None, sampleSize=101, gpu=False)\n--\n\n";

constexpr const char* kRunGseaPy = "run_gsea_py()";
constexpr std::array<const char*, 14> kRunGseaPyParameters = {
    "ranks", "gmt_path",  "nPermSimple", "seed", "nproc", "minSize",    "maxSize",
    "eps",   "scoreType", "gseaParam",   "mode", "nperm", "sampleSize", "gpu"};

struct Arguments {
    std::vector<std::string> genes;  // ranks, in the dict's own order
    std::vector<double> scores;
    std::string gmt_path;
    std::uint64_t n_perm_simple = 1000;
    std::uint64_t seed = 42;
    std::uint64_t nproc = 0;
    std::uint64_t min_size = 1;
    std::optional<std::uint64_t> max_size;
    double eps = 1e-50;
    std::string score_type = "std";
    double gsea_param = 1.0;
    std::string mode = "velmo";
    std::optional<std::uint64_t> nperm;
    std::uint64_t sample_size = 101;
    bool gpu = false;
};

// Binds and converts the arguments in parameter order; the first failure wins.
bool parse_arguments(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Arguments& out) {
    std::array<PyObject*, kRunGseaPyParameters.size()> s;
    const Signature signature{kRunGseaPy, kRunGseaPyParameters, 2, kRunGseaPyParameters.size()};
    if (!bind(signature, args, nargs, kwnames, s)) return false;
    const char* f = kRunGseaPy;
    return to_ranks(f, "ranks", s[0], out.genes, out.scores) && to_string(f, "gmt_path", s[1], out.gmt_path) &&
           (!s[2] || to_u64(f, "nPermSimple", s[2], out.n_perm_simple)) &&
           (!s[3] || to_u64(f, "seed", s[3], out.seed)) && (!s[4] || to_u64(f, "nproc", s[4], out.nproc)) &&
           (!s[5] || to_u64(f, "minSize", s[5], out.min_size)) &&
           (!s[6] || to_optional_u64(f, "maxSize", s[6], out.max_size)) &&
           (!s[7] || to_double(f, "eps", s[7], out.eps)) &&
           (!s[8] || to_string(f, "scoreType", s[8], out.score_type)) &&
           (!s[9] || to_double(f, "gseaParam", s[9], out.gsea_param)) &&
           (!s[10] || to_string(f, "mode", s[10], out.mode)) &&
           (!s[11] || to_optional_u64(f, "nperm", s[11], out.nperm)) &&
           (!s[12] || to_u64(f, "sampleSize", s[12], out.sample_size)) && (!s[13] || to_bool(f, "gpu", s[13], out.gpu));
}

PyObject* run_gsea_py(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Arguments a;
    if (!parse_arguments(args, PyVectorcall_NARGS(nargs), kwnames, a)) return nullptr;
    if (a.sample_size == 0) return raise(ErrorKind::Value, "sampleSize must be greater than 0.");
    rsvelmo::configure_pool(a.nproc);

    if (auto problem = rsvelmo::non_finite_score(a.genes, a.scores)) return raise(ErrorKind::Value, *problem);
    const rsvelmo::RankedList ranked(std::move(a.genes), std::move(a.scores));

    auto db = rsvelmo::read_gmt(a.gmt_path);
    if (!db) return raise_read_error(db.failure());

    const std::string score_name = rsvelmo::unicode_lower(a.score_type);
    const std::optional<ScoreType> score_type = rsvelmo::parse_score_type(score_name);
    if (!score_type) {
        return raise(ErrorKind::Value, "Invalid scoreType '" + score_name + "'. Expected one of: std, pos, neg.");
    }
    const auto mode = rsvelmo::parse_interface_mode(a.mode);
    if (!mode) return raise(ErrorKind::Value, mode.error());
    if (a.gpu) return raise(ErrorKind::Runtime, "gpu=True requires building rsvelmopy with the 'gpu' feature.");
    if (auto problem = rsvelmo::weighting_problem(ranked, a.gsea_param)) return raise(ErrorKind::Value, *problem);

    const auto plan = rsvelmo::resolve_execution_plan(mode.value(), false, a.nperm, a.n_perm_simple);
    if (!plan) return raise(ErrorKind::Value, plan.error());
    const std::uint64_t max_size = a.max_size ? *a.max_size : (ranked.size() == 0 ? 0 : ranked.size() - 1);
    const auto& pathways = db.value().pathways;

    std::vector<rsvelmo::EnrichmentResult> results;
    switch (plan.value().mode) {
        case rsvelmo::InterfaceMode::Multilevel:
            results =
                rsvelmo::velmo_multilevel_with_sample_size(ranked, pathways, a.n_perm_simple, a.seed, a.min_size,
                                                           max_size, *score_type, a.eps, a.gsea_param, a.sample_size);
            break;
        case rsvelmo::InterfaceMode::Simple:
            results = rsvelmo::velmo_simple_with_sample_size(ranked, pathways, a.nperm.value_or(a.n_perm_simple),
                                                             a.seed, a.min_size, max_size, *score_type, a.eps,
                                                             a.gsea_param, a.sample_size);
            break;
        case rsvelmo::InterfaceMode::Velmo:
            results = rsvelmo::velmo_with_sample_size(ranked, pathways, a.nperm, a.n_perm_simple, a.seed, a.min_size,
                                                      max_size, *score_type, a.eps, a.gsea_param, a.sample_size);
            break;
    }
    return build_results(results);
}

template <class F>
PyCFunction fastcall(F* f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

PyMethodDef kMethods[] = {
    {"run_gsea_py", fastcall(run_gsea_py), METH_FASTCALL | METH_KEYWORDS, kRunGseaPySignature},
    {"run_gsea", fastcall(run_gsea), METH_FASTCALL | METH_KEYWORDS, kRunGseaDoc},
    {"read_gmt", fastcall(read_gmt), METH_FASTCALL | METH_KEYWORDS, kReadGmtDoc},
    {nullptr, nullptr, 0, nullptr},
};

// m_size 0 (no per-module state) rather than -1, so that every interpreter
// that imports the module runs PyInit_rsvelmopy and meets the check below
// instead of receiving a copy of the first module's dict.
PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT, "rsvelmopy", nullptr, 0, kMethods, nullptr, nullptr, nullptr, nullptr,
};

// Single-phase initialisation: the module belongs to the first interpreter
// that loads it, since the worker pool it drives is process-wide.
PyInterpreterState* g_owner = nullptr;
PyObject* g_module = nullptr;

}  // namespace
}  // namespace rsvelmopy

PyMODINIT_FUNC PyInit_rsvelmopy() {
    using namespace rsvelmopy;
    PyInterpreterState* current = PyInterpreterState_Get();
    if (g_module != nullptr) {
        if (current != g_owner) {
            PyErr_SetString(PyExc_ImportError, "rsvelmopy can only be loaded by one interpreter per process");
            return nullptr;
        }
        return Py_NewRef(g_module);
    }
    PyRef module = PyRef::steal(PyModule_Create(&kModule));
    if (!module || !add_engine_types(module.get())) return nullptr;
    g_owner = current;
    g_module = Py_NewRef(module.get());
    return module.release();
}
