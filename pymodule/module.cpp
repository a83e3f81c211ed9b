// The CPython extension module rsvelmopy: run_gsea_py, the entry with the
// reference signature that holds the interpreter lock for the whole call,
// and the functions the Python package is built on (run_gsea, read_gmt).
#include <Python.h>

#include "algo.hpp"
#include "arguments.hpp"
#include "bindings.hpp"
#include "convert.hpp"
#include "engine.hpp"
#include "errors.hpp"
#include "io.hpp"
#include "pyref.hpp"
#include "score_samples.hpp"

namespace rsvelmopy {
namespace {

using rsvelmo::Error;
using rsvelmo::ScoreType;

const char kRunGseaPySignature[] =
    "run_gsea_py(ranks, gmt_path, nPermSimple=1000, seed=42, nproc=0, minSize=1, maxSize=None, eps=1e-50, "
    "scoreType=\"std\", gseaParam=1.0, mode=\"velmo\", nperm=None, sampleSize=101, gpu=False)\n--\n\n";

PyObject* run_gsea_py(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    ReferenceArguments a;
    if (!parse_reference_arguments(args, PyVectorcall_NARGS(nargs), kwnames, a)) return nullptr;
    Settings& s = a.settings;
    const auto fail = [](const Error& error) { return raise(error, Convention::Reference); };
    if (s.sample_size == 0) return fail(Error::argument("sampleSize", "sampleSize must be greater than 0."));
    rsvelmo::configure_pool(s.threads);

    if (auto problem = rsvelmo::non_finite_score(s.genes, s.scores)) return fail(Error::argument("ranks", *problem));
    const rsvelmo::RankedList ranked(std::move(s.genes), std::move(s.scores));

    auto db = rsvelmo::read_gmt(a.gmt_path);
    if (!db) return fail(db.failure());

    const std::string score_name = rsvelmo::unicode_lower(s.score_type);
    const std::optional<ScoreType> score_type = rsvelmo::parse_score_type(score_name);
    if (!score_type) {
        return fail(
            Error::argument("scoreType", "Invalid scoreType '" + score_name + "'. Expected one of: std, pos, neg."));
    }
    const auto mode = rsvelmo::parse_interface_mode(s.mode);
    if (!mode) return fail(mode.failure());
    if (a.gpu) {
        return fail(
            Error::of(Error::Kind::Unsupported, "gpu=True requires building rsvelmopy with the 'gpu' feature."));
    }
    if (auto problem = rsvelmo::weighting_problem(ranked, s.gsea_param)) {
        return fail(Error::argument("gseaParam", *problem));
    }

    // The permutations each mode runs; "velmo" decides within its entry.
    const rsvelmo::AnalysisOptions plan = rsvelmo::options_for(mode.value(), s.nperm, s.nperm_simple);
    const std::uint64_t max_size = s.max_size ? *s.max_size : (ranked.size() == 0 ? 0 : ranked.size() - 1);
    const auto& pathways = db.value().pathways;
    std::vector<rsvelmo::EnrichmentResult> results;
    switch (mode.value()) {
        case rsvelmo::InterfaceMode::Multilevel:
            results =
                rsvelmo::velmo_multilevel_with_sample_size(ranked, pathways, plan.nperm, s.seed, s.min_size, max_size,
                                                           *score_type, s.eps, s.gsea_param, s.sample_size);
            break;
        case rsvelmo::InterfaceMode::Simple:
            results = rsvelmo::velmo_simple_with_sample_size(ranked, pathways, plan.nperm, s.seed, s.min_size, max_size,
                                                             *score_type, s.eps, s.gsea_param, s.sample_size);
            break;
        case rsvelmo::InterfaceMode::Velmo:
            results = rsvelmo::velmo_with_sample_size(ranked, pathways, s.nperm, s.nperm_simple, s.seed, s.min_size,
                                                      max_size, *score_type, s.eps, s.gsea_param, s.sample_size);
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
    {"score_samples", fastcall(score_samples), METH_FASTCALL | METH_KEYWORDS, kScoreSamplesDoc},
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
            return raise_import_error("rsvelmopy can only be loaded by one interpreter per process");
        }
        return Py_NewRef(g_module);
    }
    PyRef module = PyRef::steal(PyModule_Create(&kModule));
    if (!module || !add_engine_types(module.get())) return nullptr;
    g_owner = current;
    g_module = Py_NewRef(module.get());
    return module.release();
}
