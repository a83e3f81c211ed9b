// The CPython extension module rsvelmopy and its one function, run_gsea_py.
#include <Python.h>

#include <cmath>

#include "algo.hpp"
#include "bindings.hpp"
#include "convert.hpp"
#include "io.hpp"

namespace rsvelmopy {
namespace {

using rsvelmo::ScoreType;

std::optional<ScoreType> parse_score_type(const std::string& lower) {
    if (lower == "std") return ScoreType::Std;
    if (lower == "pos") return ScoreType::Pos;
    if (lower == "neg") return ScoreType::Neg;
    return std::nullopt;
}

// The first score that is NaN or infinite: such a ranking has no order.
std::optional<std::string> non_finite_score(const std::vector<std::string>& genes, const std::vector<double>& scores) {
    for (std::size_t i = 0; i < scores.size(); ++i) {
        if (!std::isfinite(scores[i])) {
            return "ranking score of gene '" + genes[i] + "' is " + (std::isnan(scores[i]) ? "nan" : scores[i] > 0 ? "inf" : "-inf") +
                   "; every score must be a finite number";
        }
    }
    return std::nullopt;
}

PyObject* run_gsea_py(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Arguments a;
    if (!parse_arguments(args, PyVectorcall_NARGS(nargs), kwnames, a)) return nullptr;
    if (a.sample_size == 0) return raise(ErrorKind::Value, "sampleSize must be greater than 0.");
    rsvelmo::configure_pool(a.nproc);

    if (auto problem = non_finite_score(a.genes, a.scores)) return raise(ErrorKind::Value, *problem);
    const rsvelmo::RankedList ranked(std::move(a.genes), std::move(a.scores));

    auto db = rsvelmo::read_gmt(a.gmt_path);
    if (!db) return raise(ErrorKind::OS, db.error());

    const std::string score_name = rsvelmo::unicode_lower(a.score_type);
    const std::optional<ScoreType> score_type = parse_score_type(score_name);
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
            results = rsvelmo::velmo_multilevel_with_sample_size(ranked, pathways, a.n_perm_simple, a.seed, a.min_size,
                                                                 max_size, *score_type, a.eps, a.gsea_param,
                                                                 a.sample_size);
            break;
        case rsvelmo::InterfaceMode::Simple:
            results = rsvelmo::velmo_simple_with_sample_size(ranked, pathways, a.nperm.value_or(a.n_perm_simple), a.seed,
                                                             a.min_size, max_size, *score_type, a.eps, a.gsea_param,
                                                             a.sample_size);
            break;
        case rsvelmo::InterfaceMode::Velmo:
            results = rsvelmo::velmo_with_sample_size(ranked, pathways, a.nperm, a.n_perm_simple, a.seed, a.min_size,
                                                      max_size, *score_type, a.eps, a.gsea_param, a.sample_size);
            break;
    }
    return build_results(results);
}

PyMethodDef kMethods[] = {
    {"run_gsea_py", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(run_gsea_py)),
     METH_FASTCALL | METH_KEYWORDS, kRunGseaSignature},
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
    PyObject* module = PyModule_Create(&kModule);
    if (module == nullptr) return nullptr;
    g_owner = current;
    g_module = Py_NewRef(module);
    return module;
}
