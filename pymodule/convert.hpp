// Conversions between Python objects and the library's plain values, shared
// by the module's functions: argument binding by Python's rules, value
// conversions with Python's wording, the one place that turns library errors
// into exceptions, and the result dicts.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core.hpp"
#include "result.hpp"

namespace rsvelmopy {

// What a function's binding needs to know of its signature.
struct Signature {
    const char* function;                     // as shown in messages, e.g. "run_gsea_py()"
    std::span<const char* const> parameters;  // in order
    Py_ssize_t required;                      // the first parameters that have no default
    Py_ssize_t positional;                    // how many may be given by position
};

// Binds arguments to slots (one per parameter; NULL where omitted). On
// failure a TypeError is set and false returned.
bool bind(const Signature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          std::span<PyObject*> slots);

// Conversions with the binder's messages; each sets an exception and
// returns false on failure. `function` is the Signature's.
bool to_u64(const char* function, const char* parameter, PyObject* obj, std::uint64_t& out);
bool to_optional_u64(const char* function, const char* parameter, PyObject* obj, std::optional<std::uint64_t>& out);
bool to_double(const char* function, const char* parameter, PyObject* obj, double& out);
bool to_string(const char* function, const char* parameter, PyObject* obj, std::string& out);
bool to_bool(const char* function, const char* parameter, PyObject* obj, bool& out);

// UTF-8 text of a str, without copying; NULL with an exception set on failure.
const char* utf8_of(PyObject* str, Py_ssize_t& size);

// A dict (or dict subclass) of str -> real number, in the dict's own order.
bool to_ranks(const char* function, const char* parameter, PyObject* obj, std::vector<std::string>& genes,
              std::vector<double>& scores);

enum class ErrorKind { Value, OS, Runtime };

// Sets the Python exception for a library error; returns NULL for the caller to return.
PyObject* raise(ErrorKind kind, const std::string& message);

// A GMT that could not be read: the OSError subclass that matches the error
// number (FileNotFoundError, PermissionError, ...) with the message as its
// only argument, or OSError itself when no error number applies.
PyObject* raise_read_error(const rsvelmo::Error& error);

// The same failure the way Python's own file functions report it: an
// OSError subclass with errno, strerror and filename, or a ValueError that
// names the file and line for malformed content.
PyObject* raise_file_error(const rsvelmo::Error& error, const std::string& path);

// A new list holding one dict per record, in order; NULL with an exception
// set on failure. With `descriptions` (one per record, NULL for none) each
// dict also holds "description".
PyObject* build_results(const std::vector<rsvelmo::EnrichmentResult>& results,
                        const std::vector<const std::optional<std::string>*>* descriptions = nullptr);

// A new str from UTF-8 bytes (invalid bytes replaced).
PyObject* new_str(const std::string& text);

}  // namespace rsvelmopy
