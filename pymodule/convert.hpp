// Conversions between Python objects and the library's plain values: the
// argument parser of run_gsea_py, the one place that raises exceptions for
// library errors, and the result list.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core.hpp"

namespace rsvelmopy {

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

// The signature line that is also the function's __text_signature__.
extern const char kRunGseaSignature[];

// Binds and converts the arguments in parameter order. On failure a Python
// exception is set and false returned.
bool parse_arguments(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Arguments& out);

enum class ErrorKind { Value, OS, Runtime };

// Sets the Python exception for a library error; returns NULL for the caller to return.
PyObject* raise(ErrorKind kind, const std::string& message);

// A new list holding one dict per record, in order; NULL with an exception set on failure.
PyObject* build_results(const std::vector<rsvelmo::EnrichmentResult>& results);

}  // namespace rsvelmopy
