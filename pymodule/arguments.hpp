// The arguments of the module's entry functions, bound and converted by
// Python's rules: run_gsea_py's reference signature and run_gsea's. On a
// bad argument each parser sets the exception and returns false.
#pragma once

#include <Python.h>

#include <optional>
#include <string>
#include <vector>

#include "core.hpp"
#include "parameters.hpp"

namespace rsvelmopy {

// run_gsea_py(ranks, gmt_path, nPermSimple, seed, nproc, minSize, maxSize,
// eps, scoreType, gseaParam, mode, nperm, sampleSize, gpu). Refuses
// sampleSize 0 as its documented ValueError.
struct ReferenceArguments {
    Settings settings;
    std::string gmt_path;
};

bool parse_reference_arguments(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, ReferenceArguments& out);

// run_gsea(ranks, gene_sets, ...): ranks also as a pair (genes, scores),
// gene sets from a file or a mapping, and the package's options.
struct Request {
    Settings settings;
    std::optional<std::string> gmt_path;     // a file, or
    std::vector<rsvelmo::Pathway> pathways;  // gene sets given in memory
};

// Binds, converts and checks the values (a value outside the bounds of its
// row of the parameter table is a ValueError naming the parameter).
bool parse_request(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Request& out);

// read_gmt(path): the path as UTF-8.
bool parse_path_argument(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, std::string& path);

}  // namespace rsvelmopy
