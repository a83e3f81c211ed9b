// The module's entry to the over-representation odds ratios (src/ora.hpp).
#pragma once

#include <Python.h>

namespace rsvelmopy {

extern const char kOraOddsRatiosDoc[];

// ora_odds_ratios(N, K, n, k) -> bytes of doubles
PyObject* ora_odds_ratios(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace rsvelmopy
