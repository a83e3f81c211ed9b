// The functions the Python package is built on: run_gsea (gene sets from a
// file or from memory, progress, Ctrl-C, the interpreter lock released
// while the analysis runs) and read_gmt (the engine's own GMT reader).
#pragma once

#include <Python.h>

namespace rsvelmopy {

// run_gsea's doc string, its parameters from the parameter table.
const char* run_gsea_doc();
extern const char kReadGmtDoc[];

PyObject* run_gsea(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* read_gmt(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// Adds RankingWarning, the category of the ranking diagnostics, to the module.
bool add_engine_types(PyObject* module);

}  // namespace rsvelmopy
