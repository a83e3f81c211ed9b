// The arguments of the module's entry functions, bound and converted by
// Python's rules: run_gsea_py's reference signature and run_gsea's. On a
// bad argument each parser sets the exception and returns false.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core.hpp"

namespace rsvelmopy {

// The settings both entries take, with their defaults.
struct Settings {
    std::vector<std::string> genes;  // the ranking, in the caller's order
    std::vector<double> scores;
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
};

// run_gsea_py(ranks, gmt_path, nPermSimple, seed, nproc, minSize, maxSize,
// eps, scoreType, gseaParam, mode, nperm, sampleSize, gpu).
struct ReferenceArguments {
    Settings settings;
    std::string gmt_path;
    bool gpu = false;
};

bool parse_reference_arguments(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, ReferenceArguments& out);

// run_gsea(ranks, gene_sets, ...): ranks also as a pair (genes, scores),
// gene sets from a file or a mapping, and the package's options.
struct Request {
    Settings settings;
    std::optional<std::string> gmt_path;     // a file, or
    std::vector<rsvelmo::Pathway> pathways;  // gene sets given in memory
    PyObject* progress = nullptr;            // borrowed from the arguments; NULL: no callback
    bool refine_all = false;
    bool diagnostics = true;
    std::optional<double> stable_calls;  // the padj cut whose calls to settle
};

// Binds, converts and checks the values (a count below its minimum, an eps
// outside [0, 1] and the like are ValueErrors naming the parameter).
bool parse_request(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Request& out);

// read_gmt(path): the path as UTF-8.
bool parse_path_argument(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, std::string& path);

}  // namespace rsvelmopy
