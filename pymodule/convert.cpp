#include "convert.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

#include "pyref.hpp"

namespace rsvelmopy {

namespace {

bool type_error(const char* function, const char* parameter, const char* expected, PyObject* found) {
    PyErr_Format(PyExc_TypeError, "%s argument '%s' must be %s, not %.200s", function, parameter, expected,
                 Py_TYPE(found)->tp_name);
    return false;
}

// Whether the object has a float conversion at all; an exception raised by
// the conversion itself then propagates unchanged.
bool has_float_conversion(PyObject* obj) {
    if (PyFloat_Check(obj)) return true;
    const PyNumberMethods* number = Py_TYPE(obj)->tp_as_number;
    return number != nullptr && (number->nb_float != nullptr || number->nb_index != nullptr);
}

// Finds a parameter by name; -1 when there is none.
Py_ssize_t parameter_index(const Signature& signature, PyObject* name) {
    for (std::size_t i = 0; i < signature.parameters.size(); ++i) {
        if (PyUnicode_CompareWithASCIIString(name, signature.parameters[i]) == 0) return static_cast<Py_ssize_t>(i);
    }
    return -1;
}

}  // namespace

bool to_u64(const char* function, const char* parameter, PyObject* obj, std::uint64_t& out) {
    if (!PyIndex_Check(obj)) return type_error(function, parameter, "int", obj);
    PyRef index = PyRef::steal(PyNumber_Index(obj));
    if (!index) return false;
    const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;  // OverflowError
    out = value;
    return true;
}

bool to_optional_u64(const char* function, const char* parameter, PyObject* obj, std::optional<std::uint64_t>& out) {
    if (obj == Py_None) {
        out.reset();
        return true;
    }
    std::uint64_t value;
    if (!to_u64(function, parameter, obj, value)) return false;
    out = value;
    return true;
}

bool to_double(const char* function, const char* parameter, PyObject* obj, double& out) {
    if (!has_float_conversion(obj)) return type_error(function, parameter, "a real number", obj);
    const double value = PyFloat_AsDouble(obj);
    if (value == -1.0 && PyErr_Occurred()) return false;
    out = value;
    return true;
}

const char* utf8_of(PyObject* str, Py_ssize_t& size) { return PyUnicode_AsUTF8AndSize(str, &size); }

bool to_string(const char* function, const char* parameter, PyObject* obj, std::string& out) {
    if (!PyUnicode_Check(obj)) return type_error(function, parameter, "str", obj);
    Py_ssize_t size;
    const char* utf8 = utf8_of(obj, size);
    if (utf8 == nullptr) return false;
    out.assign(utf8, static_cast<std::size_t>(size));
    return true;
}

bool to_bool(const char* function, const char* parameter, PyObject* obj, bool& out) {
    // NumPy's boolean scalar is accepted too, without importing NumPy.
    const char* name = Py_TYPE(obj)->tp_name;
    if (!PyBool_Check(obj) && std::strcmp(name, "numpy.bool") != 0 && std::strcmp(name, "numpy.bool_") != 0) {
        return type_error(function, parameter, "bool", obj);
    }
    const int truth = PyObject_IsTrue(obj);
    if (truth < 0) return false;
    out = truth != 0;
    return true;
}

bool to_ranks(const char* function, const char* parameter, PyObject* obj, std::vector<std::string>& genes,
              std::vector<double>& scores) {
    if (!PyDict_Check(obj)) return type_error(function, parameter, "dict", obj);
    // A snapshot of the items: value conversions may run Python code that
    // changes the dict, which must not disturb the iteration.
    PyRef items = PyRef::steal(PyDict_Items(obj));
    if (!items) return false;
    const Py_ssize_t count = PyList_GET_SIZE(items.get());
    genes.reserve(static_cast<std::size_t>(count));
    scores.reserve(static_cast<std::size_t>(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* item = PyList_GET_ITEM(items.get(), i);
        PyObject* key = PyTuple_GET_ITEM(item, 0);
        PyObject* value = PyTuple_GET_ITEM(item, 1);
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%s argument '%s' keys must be str, not %.200s", function, parameter,
                         Py_TYPE(key)->tp_name);
            return false;
        }
        Py_ssize_t size;
        const char* utf8 = utf8_of(key, size);
        if (utf8 == nullptr) return false;
        if (!has_float_conversion(value)) {
            PyErr_Format(PyExc_TypeError, "%s argument '%s' values must be real numbers, not %.200s (gene %R)",
                         function, parameter, Py_TYPE(value)->tp_name, key);
            return false;
        }
        const double score = PyFloat_AsDouble(value);
        if (score == -1.0 && PyErr_Occurred()) return false;
        genes.emplace_back(utf8, static_cast<std::size_t>(size));
        scores.push_back(score);
    }
    return true;
}

bool bind(const Signature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          std::span<PyObject*> slots) {
    const char* function = signature.function;
    if (nargs > signature.positional) {
        PyErr_Format(PyExc_TypeError, "%s takes at most %zd positional arguments (%zd given)", function,
                     signature.positional, nargs);
        return false;
    }
    std::fill(slots.begin(), slots.end(), nullptr);
    for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = args[i];
    PyObject* leftover = nullptr;  // first keyword that cannot be bound
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t j = 0; j < nkw; ++j) {
        PyObject* name = PyTuple_GET_ITEM(kwnames, j);
        const Py_ssize_t index = parameter_index(signature, name);
        if (index < 0 || index < nargs || slots[index] != nullptr) {
            if (leftover == nullptr) leftover = name;
            continue;
        }
        slots[index] = args[nargs + j];
    }
    for (Py_ssize_t i = 0; i < signature.required; ++i) {
        if (slots[i] == nullptr) {
            PyErr_Format(PyExc_TypeError, "%s missing required argument '%s' (pos %zd)", function,
                         signature.parameters[i], i + 1);
            return false;
        }
    }
    if (leftover != nullptr) {
        const Py_ssize_t index = parameter_index(signature, leftover);
        if (index >= 0) {
            PyErr_Format(PyExc_TypeError, "argument for %s given by name ('%U') and position (%zd)", function, leftover,
                         index + 1);
        } else {
            PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", function, leftover);
        }
        return false;
    }
    return true;
}

PyObject* new_str(const std::string& text) {
    return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

namespace {

PyRef optional_float(const std::optional<double>& v) {
    return v ? PyRef::steal(PyFloat_FromDouble(*v)) : PyRef::borrow(Py_None);
}

PyRef optional_str(const std::optional<std::string>* v) {
    return v != nullptr && *v ? PyRef::steal(new_str(**v)) : PyRef::borrow(Py_None);
}

PyRef result_dict(const rsvelmo::EnrichmentResult& r, const std::optional<std::string>* const* description,
                  const std::optional<double>* flip_risk) {
    PyRef genes = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(r.leading_edge.size())));
    if (!genes) return {};
    for (std::size_t i = 0; i < r.leading_edge.size(); ++i) {
        PyRef gene = PyRef::steal(new_str(r.leading_edge[i]));
        if (!gene) return {};
        PyList_SET_ITEM(genes.get(), static_cast<Py_ssize_t>(i), gene.release());
    }
    PyRef values[] = {PyRef::steal(new_str(r.pathway)),
                      PyRef::steal(PyLong_FromUnsignedLongLong(r.size)),
                      PyRef::steal(PyFloat_FromDouble(r.es)),
                      optional_float(r.nes),
                      PyRef::steal(PyFloat_FromDouble(r.pval)),
                      optional_float(r.padj),
                      optional_float(r.log2err),
                      std::move(genes),
                      description ? optional_str(*description) : PyRef()};
    static const char* const kKeys[] = {"pathway", "size",    "es",           "nes",        "pval",
                                        "padj",    "log2err", "leading_edge", "description"};
    const std::size_t keys = description ? std::size(kKeys) : std::size(kKeys) - 1;
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) return {};
    for (std::size_t i = 0; i < keys; ++i) {
        if (!values[i] || PyDict_SetItemString(dict.get(), kKeys[i], values[i].get()) < 0) return {};
    }
    if (flip_risk != nullptr) {
        PyRef risk = optional_float(*flip_risk);
        if (!risk || PyDict_SetItemString(dict.get(), "flip_risk", risk.get()) < 0) return {};
    }
    return dict;
}

}  // namespace

PyObject* build_results(const std::vector<rsvelmo::EnrichmentResult>& results,
                        const std::vector<const std::optional<std::string>*>* descriptions,
                        const std::vector<std::optional<double>>* flip_risks) {
    return new_list(results.size(), [&](std::size_t i) {
        const std::optional<std::string>* const* description = descriptions ? &(*descriptions)[i] : nullptr;
        return result_dict(results[i], description, flip_risks ? &(*flip_risks)[i] : nullptr).release();
    });
}

const char* native_code(const char* format) {
    if (format == nullptr) return nullptr;
    if (*format == '@' || *format == '=' || (*format == '<' && std::endian::native == std::endian::little)) ++format;
    return format;
}

bool is_float64(const char* format) {
    const char* code = native_code(format);
    return code != nullptr && std::strcmp(code, "d") == 0;
}

MatrixFault matrix_fault(const Py_buffer& view) {
    if (view.ndim != 2) return MatrixFault::Dimensions;
    if (view.itemsize != 8 || !is_float64(view.format)) return MatrixFault::Values;
    if (!PyBuffer_IsContiguous(&view, 'C')) return MatrixFault::Layout;
    return MatrixFault::None;
}

PyObject* build_pathways(const std::vector<rsvelmo::Pathway>& pathways) {
    return new_list(pathways.size(), [&](std::size_t i) -> PyObject* {
        const rsvelmo::Pathway& p = pathways[i];
        PyRef genes = PyRef::steal(new_list(p.genes.size(), [&](std::size_t g) { return new_str(p.genes[g]); }));
        if (!genes) return nullptr;
        PyRef name = PyRef::steal(new_str(p.name));
        PyRef description = p.description ? PyRef::steal(new_str(*p.description)) : PyRef::borrow(Py_None);
        if (!name || !description) return nullptr;
        return PyTuple_Pack(3, name.get(), description.get(), genes.get());
    });
}

}  // namespace rsvelmopy
