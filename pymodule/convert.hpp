// Conversions between Python objects and the library's plain values, shared
// by the module's functions: argument binding by Python's rules, value
// conversions with Python's wording, and the result lists.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core.hpp"
#include "pyref.hpp"

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

// A new list holding one dict per record, in order; NULL with an exception
// set on failure. With `descriptions` (one per record, NULL for none) each
// dict also holds "description"; with `flip_risks` (one per record) each
// also holds "flip_risk" (None where nothing).
PyObject* build_results(const std::vector<rsvelmo::EnrichmentResult>& results,
                        const std::vector<const std::optional<std::string>*>* descriptions = nullptr,
                        const std::vector<std::optional<double>>* flip_risks = nullptr);

// A new list of (name, description, genes) tuples, description None when
// absent; NULL with an exception set on failure.
PyObject* build_pathways(const std::vector<rsvelmo::Pathway>& pathways);

// A new str from UTF-8 bytes (invalid bytes replaced).
PyObject* new_str(const std::string& text);

// A new list of `size` items, item i the new reference `make(i)` returns;
// NULL with an exception set when the list or an item cannot be made.
template <class Make>
PyObject* new_list(std::size_t size, Make make) {
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(size)));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < size; ++i) {
        PyObject* item = make(i);
        if (item == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
}

// The one owner of a buffer exported by an object: released however the call ends.
class HeldBuffer {
public:
    HeldBuffer() = default;
    HeldBuffer(const HeldBuffer&) = delete;
    HeldBuffer& operator=(const HeldBuffer&) = delete;
    ~HeldBuffer() {
        if (held_) PyBuffer_Release(&view_);
    }
    // False with the exporter's exception set when it cannot export with `flags`.
    bool acquire(PyObject* obj, int flags) {
        held_ = PyObject_GetBuffer(obj, &view_, flags) == 0;
        return held_;
    }
    const Py_buffer& view() const { return view_; }

private:
    Py_buffer view_{};
    bool held_ = false;
};

// A struct format's item code without a prefix meaning native order here
// ("@", "=", or "<" on a little-endian machine); NULL stays NULL (unsigned bytes).
const char* native_code(const char* format);

// A native float64 item: "d" behind such a prefix.
bool is_float64(const char* format);

// What keeps a buffer from being a genes x samples matrix of float64 in C
// order, checked in this order; each entry point words its own message.
enum class MatrixFault { None, Dimensions, Values, Layout };
MatrixFault matrix_fault(const Py_buffer& view);

}  // namespace rsvelmopy
