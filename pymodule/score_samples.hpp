// score_samples: gene-set scores per sample (GSVA, ssGSEA, z-score, PLAGE)
// of a float64 matrix given through the buffer protocol.
#pragma once

#include <Python.h>

namespace rsvelmopy {

extern const char kScoreSamplesDoc[];

PyObject* score_samples(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace rsvelmopy
