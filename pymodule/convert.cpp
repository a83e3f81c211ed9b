#include "convert.hpp"

#include <array>
#include <cstring>

#include "pyref.hpp"

namespace rsvelmopy {

const char kRunGseaSignature[] =
    "run_gsea_py(ranks, gmt_path, nPermSimple=1000, seed=42, nproc=0, minSize=1, maxSize=None, eps=1e-50, "
    "scoreType=\"std\", gseaParam=1.0, mode=\"velmo\", nperm=None, sampleSize=101, gpu=False)\n--\n\n";

namespace {

constexpr const char* kFunction = "run_gsea_py()";
constexpr std::array<const char*, 14> kParameters = {
    "ranks", "gmt_path", "nPermSimple", "seed",  "nproc", "minSize",    "maxSize",
    "eps",   "scoreType", "gseaParam", "mode",  "nperm", "sampleSize", "gpu"};
constexpr Py_ssize_t kRequired = 2;

bool type_error(const char* parameter, const char* expected, PyObject* found) {
    PyErr_Format(PyExc_TypeError, "%s argument '%s' must be %s, not %.200s", kFunction, parameter, expected,
                 Py_TYPE(found)->tp_name);
    return false;
}

bool to_u64(const char* parameter, PyObject* obj, std::uint64_t& out) {
    if (!PyIndex_Check(obj)) return type_error(parameter, "int", obj);
    PyRef index = PyRef::steal(PyNumber_Index(obj));
    if (!index) return false;
    const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;  // OverflowError
    out = value;
    return true;
}

bool to_optional_u64(const char* parameter, PyObject* obj, std::optional<std::uint64_t>& out) {
    if (obj == Py_None) {
        out.reset();
        return true;
    }
    std::uint64_t value;
    if (!to_u64(parameter, obj, value)) return false;
    out = value;
    return true;
}

// Whether the object has a float conversion at all; an exception raised by
// the conversion itself then propagates unchanged.
bool has_float_conversion(PyObject* obj) {
    if (PyFloat_Check(obj)) return true;
    const PyNumberMethods* number = Py_TYPE(obj)->tp_as_number;
    return number != nullptr && (number->nb_float != nullptr || number->nb_index != nullptr);
}

bool to_double(const char* parameter, PyObject* obj, double& out) {
    if (!has_float_conversion(obj)) return type_error(parameter, "a real number", obj);
    const double value = PyFloat_AsDouble(obj);
    if (value == -1.0 && PyErr_Occurred()) return false;
    out = value;
    return true;
}

bool to_string(const char* parameter, PyObject* obj, std::string& out) {
    if (!PyUnicode_Check(obj)) return type_error(parameter, "str", obj);
    Py_ssize_t size;
    const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &size);
    if (utf8 == nullptr) return false;
    out.assign(utf8, static_cast<std::size_t>(size));
    return true;
}

bool to_bool(const char* parameter, PyObject* obj, bool& out) {
    // NumPy's boolean scalar is accepted too, without importing NumPy.
    const char* name = Py_TYPE(obj)->tp_name;
    if (!PyBool_Check(obj) && std::strcmp(name, "numpy.bool") != 0 && std::strcmp(name, "numpy.bool_") != 0) {
        return type_error(parameter, "bool", obj);
    }
    const int truth = PyObject_IsTrue(obj);
    if (truth < 0) return false;
    out = truth != 0;
    return true;
}

bool to_ranks(PyObject* obj, std::vector<std::string>& genes, std::vector<double>& scores) {
    if (!PyDict_Check(obj)) return type_error("ranks", "dict", obj);
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
            PyErr_Format(PyExc_TypeError, "%s argument 'ranks' keys must be str, not %.200s", kFunction,
                         Py_TYPE(key)->tp_name);
            return false;
        }
        Py_ssize_t size;
        const char* utf8 = PyUnicode_AsUTF8AndSize(key, &size);
        if (utf8 == nullptr) return false;
        if (!has_float_conversion(value)) {
            PyErr_Format(PyExc_TypeError, "%s argument 'ranks' values must be real numbers, not %.200s (gene %R)",
                         kFunction, Py_TYPE(value)->tp_name, key);
            return false;
        }
        const double score = PyFloat_AsDouble(value);
        if (score == -1.0 && PyErr_Occurred()) return false;
        genes.emplace_back(utf8, static_cast<std::size_t>(size));
        scores.push_back(score);
    }
    return true;
}

// Finds a parameter by name; -1 when there is none.
Py_ssize_t parameter_index(PyObject* name) {
    for (std::size_t i = 0; i < kParameters.size(); ++i) {
        if (PyUnicode_CompareWithASCIIString(name, kParameters[i]) == 0) return static_cast<Py_ssize_t>(i);
    }
    return -1;
}

// Python's binding rules, with CPython's wording for builtin functions.
bool bind(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, std::array<PyObject*, 14>& slots) {
    const auto max_args = static_cast<Py_ssize_t>(kParameters.size());
    if (nargs > max_args) {
        PyErr_Format(PyExc_TypeError, "%s takes at most %zd positional arguments (%zd given)", kFunction, max_args,
                     nargs);
        return false;
    }
    slots.fill(nullptr);
    for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = args[i];
    PyObject* leftover = nullptr;  // first keyword that cannot be bound
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t j = 0; j < nkw; ++j) {
        PyObject* name = PyTuple_GET_ITEM(kwnames, j);
        const Py_ssize_t index = parameter_index(name);
        if (index < 0 || index < nargs || slots[index] != nullptr) {
            if (leftover == nullptr) leftover = name;
            continue;
        }
        slots[index] = args[nargs + j];
    }
    for (Py_ssize_t i = 0; i < kRequired; ++i) {
        if (slots[i] == nullptr) {
            PyErr_Format(PyExc_TypeError, "%s missing required argument '%s' (pos %zd)", kFunction, kParameters[i],
                         i + 1);
            return false;
        }
    }
    if (leftover != nullptr) {
        const Py_ssize_t index = parameter_index(leftover);
        if (index >= 0) {
            PyErr_Format(PyExc_TypeError, "argument for %s given by name ('%U') and position (%zd)", kFunction,
                         leftover, index + 1);
        } else {
            PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", kFunction, leftover);
        }
        return false;
    }
    return true;
}

}  // namespace

bool parse_arguments(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Arguments& out) {
    std::array<PyObject*, 14> s;
    if (!bind(args, nargs, kwnames, s)) return false;
    // Conversions in parameter order; the first failure wins.
    return to_ranks(s[0], out.genes, out.scores) && to_string("gmt_path", s[1], out.gmt_path) &&
           (!s[2] || to_u64("nPermSimple", s[2], out.n_perm_simple)) && (!s[3] || to_u64("seed", s[3], out.seed)) &&
           (!s[4] || to_u64("nproc", s[4], out.nproc)) && (!s[5] || to_u64("minSize", s[5], out.min_size)) &&
           (!s[6] || to_optional_u64("maxSize", s[6], out.max_size)) && (!s[7] || to_double("eps", s[7], out.eps)) &&
           (!s[8] || to_string("scoreType", s[8], out.score_type)) &&
           (!s[9] || to_double("gseaParam", s[9], out.gsea_param)) && (!s[10] || to_string("mode", s[10], out.mode)) &&
           (!s[11] || to_optional_u64("nperm", s[11], out.nperm)) &&
           (!s[12] || to_u64("sampleSize", s[12], out.sample_size)) && (!s[13] || to_bool("gpu", s[13], out.gpu));
}

PyObject* raise(ErrorKind kind, const std::string& message) {
    PyObject* type = kind == ErrorKind::Value ? PyExc_ValueError
                     : kind == ErrorKind::OS  ? PyExc_OSError
                                              : PyExc_RuntimeError;
    PyRef text = PyRef::steal(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    if (text) PyErr_SetObject(type, text.get());
    return nullptr;
}

namespace {

PyRef optional_float(const std::optional<double>& v) {
    return v ? PyRef::steal(PyFloat_FromDouble(*v)) : PyRef::borrow(Py_None);
}

PyRef utf8_string(const std::string& s) {
    return PyRef::steal(PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace"));
}

PyRef result_dict(const rsvelmo::ExportedResult& r) {
    PyRef genes = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(r.leading_edge.size())));
    if (!genes) return {};
    for (std::size_t i = 0; i < r.leading_edge.size(); ++i) {
        PyRef gene = utf8_string(r.leading_edge[i]);
        if (!gene) return {};
        PyList_SET_ITEM(genes.get(), static_cast<Py_ssize_t>(i), gene.release());
    }
    PyRef values[] = {utf8_string(r.pathway),
                      PyRef::steal(PyLong_FromUnsignedLongLong(r.size)),
                      PyRef::steal(PyFloat_FromDouble(r.es)),
                      optional_float(r.nes),
                      PyRef::steal(PyFloat_FromDouble(r.pval)),
                      optional_float(r.padj),
                      optional_float(r.log2err),
                      std::move(genes)};
    static const char* const kKeys[] = {"pathway", "size", "es", "nes", "pval", "padj", "log2err", "leading_edge"};
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) return {};
    for (std::size_t i = 0; i < std::size(kKeys); ++i) {
        if (!values[i] || PyDict_SetItemString(dict.get(), kKeys[i], values[i].get()) < 0) return {};
    }
    return dict;
}

}  // namespace

PyObject* build_results(const std::vector<rsvelmo::EnrichmentResult>& results) {
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(results.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < results.size(); ++i) {
        PyRef dict = result_dict(results[i].export_values());
        if (!dict) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), dict.release());
    }
    return list.release();
}

}  // namespace rsvelmopy
