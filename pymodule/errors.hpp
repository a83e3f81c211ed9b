// Where the module sets Python exceptions: library errors become the
// exception their kind calls for, by the convention of the entry that
// reports them. Apart from argument binding, no other file of the module
// sets an exception or touches the error indicator.
#pragma once

#include <Python.h>

#include <exception>
#include <string>

#include "result.hpp"

namespace rsvelmopy {

enum class Convention {
    // run_gsea_py: every file error an OSError (the subclass that matches
    // the error number) whose only argument is the library's message.
    Reference,
    // The package's functions, the way Python's own file functions report:
    // OSError(errno, strerror, filename), and a ValueError that names the
    // file and line of malformed content.
    Python,
};

// Sets the exception for `error`; returns NULL for the caller to return.
PyObject* raise(const rsvelmo::Error& error, Convention convention);

// The library error for an exception that escaped the analysis: a failed
// allocation (std::bad_alloc, a length beyond what a vector can hold) is
// OutOfMemory, with the library's message when it gave one; anything else
// is a fault of the library.
rsvelmo::Error failure_of(const std::exception& e);

// A ValueError naming a bad argument: raise(Error::argument(...)) in short.
PyObject* raise_argument(const char* parameter, const std::string& message);

// Runs pending signal handlers; false when one raised (KeyboardInterrupt).
bool check_signals();

// Issues a warning of `category`; false when the warnings filter turned it
// into an exception.
bool warn(PyObject* category, const std::string& message);

// A new warning category `name` ("module.Name") derived from `base`; NULL
// with an exception set on failure.
PyObject* new_warning_category(const char* name, const char* doc, PyObject* base);

// ImportError(message); returns NULL.
PyObject* raise_import_error(const char* message);

}  // namespace rsvelmopy
