// run_phenotype: the phenotype-permutation analysis of an expression matrix
// (a C-contiguous float64 array read through the buffer protocol), with the
// interpreter lock released while it runs.
#pragma once

#include <Python.h>

namespace rsvelmopy {

extern const char kRunPhenotypeDoc[];

PyObject* run_phenotype(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace rsvelmopy
