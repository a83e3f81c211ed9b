#include "arguments.hpp"

#include <array>
#include <cmath>
#include <unordered_map>

#include "bindings.hpp"
#include "convert.hpp"
#include "errors.hpp"
#include "pyref.hpp"

namespace rsvelmopy {

namespace {

constexpr const char* kRunGseaPy = "run_gsea_py()";
constexpr const char* kRunGsea = "run_gsea()";

const std::vector<const Parameter*>& package_parameters() {
    static const std::vector<const Parameter*> rows = [] {
        std::vector<const Parameter*> out;
        for (const Parameter& p : parameters()) {
            if (p.package) out.push_back(&p);
        }
        return out;
    }();
    return rows;
}

bool type_error(const char* format, const char* what, PyObject* found) {
    PyErr_Format(PyExc_TypeError, format, kRunGsea, what, Py_TYPE(found)->tp_name);
    return false;
}

bool value_error(const char* parameter, const std::string& message) {
    raise_argument(parameter, message);
    return false;
}

// A sequence's items as a list or tuple (PySequence_Fast), or NULL.
PyRef fast_sequence(PyObject* obj, const char* what) {
    if (PyUnicode_Check(obj) || PyBytes_Check(obj)) {
        type_error("%s argument 'ranks': %s must be a sequence, not %.200s", what, obj);
        return {};
    }
    return PyRef::steal(PySequence_Fast(obj, "run_gsea() argument 'ranks' must be a dict or a pair (genes, scores)"));
}

bool to_ranks_pair(PyObject* obj, Settings& s) {
    PyRef genes = fast_sequence(PySequence_Fast_GET_ITEM(obj, 0), "the genes");
    if (!genes) return false;
    PyRef scores = fast_sequence(PySequence_Fast_GET_ITEM(obj, 1), "the scores");
    if (!scores) return false;
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(genes.get());
    if (PySequence_Fast_GET_SIZE(scores.get()) != n) {
        return value_error("ranks", "ranks: " + std::to_string(n) + " genes but " +
                                        std::to_string(PySequence_Fast_GET_SIZE(scores.get())) + " scores");
    }
    std::unordered_map<std::string, Py_ssize_t> seen;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* gene = PySequence_Fast_GET_ITEM(genes.get(), i);
        if (!PyUnicode_Check(gene)) {
            PyErr_Format(PyExc_TypeError, "%s argument 'ranks': gene names must be str, not %.200s (item %zd)",
                         kRunGsea, Py_TYPE(gene)->tp_name, i);
            return false;
        }
        std::string name;
        double score;
        if (!to_string(kRunGsea, "ranks", gene, name) ||
            !to_double(kRunGsea, "ranks", PySequence_Fast_GET_ITEM(scores.get(), i), score)) {
            return false;
        }
        if (!seen.emplace(name, i).second) {
            return value_error("ranks", "ranks: gene '" + name + "' occurs more than once; give each gene one score");
        }
        s.genes.push_back(std::move(name));
        s.scores.push_back(score);
    }
    return true;
}

bool to_ranks_any(PyObject* obj, Settings& s) {
    if (PyDict_Check(obj)) return to_ranks(kRunGsea, "ranks", obj, s.genes, s.scores);
    if ((PyTuple_Check(obj) || PyList_Check(obj)) && PySequence_Size(obj) == 2) return to_ranks_pair(obj, s);
    return type_error("%s argument '%s' must be a dict or a pair (genes, scores), not %.200s", "ranks", obj);
}

// A str, bytes or os.PathLike as UTF-8 text without NUL bytes.
bool to_path(const char* function, const char* parameter, PyObject* obj, std::string& out) {
    PyRef path = PyRef::steal(PyOS_FSPath(obj));
    if (!path) return false;
    PyRef text = PyBytes_Check(path.get()) ? PyRef::steal(PyUnicode_DecodeFSDefaultAndSize(
                                                 PyBytes_AS_STRING(path.get()), PyBytes_GET_SIZE(path.get())))
                                           : std::move(path);
    if (!text || !to_string(function, parameter, text.get(), out)) return false;
    if (out.find('\0') != std::string::npos) {
        return value_error(parameter, std::string(parameter) + ": embedded null byte in the file name");
    }
    return true;
}

bool to_gene_set(PyObject* name, PyObject* genes, rsvelmo::Pathway& out) {
    if (!PyUnicode_Check(name)) {
        return type_error("%s argument '%s': gene-set names must be str, not %.200s", "gene_sets", name);
    }
    if (!to_string(kRunGsea, "gene_sets", name, out.name)) return false;
    if (PyUnicode_Check(genes) || PyBytes_Check(genes)) {
        return value_error("gene_sets",
                           "gene_sets: gene set '" + out.name + "' is a single string; give a list of gene names");
    }
    PyRef iterator = PyRef::steal(PyObject_GetIter(genes));
    if (!iterator) {
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError,
                     "%s argument 'gene_sets': the genes of '%s' must be an iterable of str, not %.200s", kRunGsea,
                     out.name.c_str(), Py_TYPE(genes)->tp_name);
        return false;
    }
    while (PyRef gene = PyRef::steal(PyIter_Next(iterator.get()))) {
        if (!PyUnicode_Check(gene.get())) {
            PyErr_Format(PyExc_TypeError, "%s argument 'gene_sets': the genes of '%s' must be str, not %.200s",
                         kRunGsea, out.name.c_str(), Py_TYPE(gene.get())->tp_name);
            return false;
        }
        std::string text;
        if (!to_string(kRunGsea, "gene_sets", gene.get(), text)) return false;
        out.genes.push_back(std::move(text));
    }
    if (PyErr_Occurred()) return false;
    if (out.genes.empty()) return value_error("gene_sets", "gene_sets: gene set '" + out.name + "' has no genes");
    return true;
}

bool to_gene_sets(PyObject* obj, Request& r) {
    if (PyUnicode_Check(obj) || PyBytes_Check(obj) || PyObject_HasAttrString(obj, "__fspath__")) {
        r.gmt_path.emplace();
        return to_path(kRunGsea, "gene_sets", obj, *r.gmt_path);
    }
    if (!PyMapping_Check(obj) || PySequence_Check(obj)) {
        return type_error("%s argument '%s' must be a GMT file path or a mapping name -> genes, not %.200s",
                          "gene_sets", obj);
    }
    PyRef items = PyRef::steal(PyMapping_Items(obj));
    if (!items) return false;
    const Py_ssize_t count = PyList_GET_SIZE(items.get());
    r.pathways.resize(static_cast<std::size_t>(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* item = PyList_GET_ITEM(items.get(), i);
        if (!PyTuple_Check(item) || PyTuple_GET_SIZE(item) != 2) {
            PyErr_SetString(PyExc_TypeError, "run_gsea() argument 'gene_sets': items() must give (name, genes) pairs");
            return false;
        }
        if (!to_gene_set(PyTuple_GET_ITEM(item, 0), PyTuple_GET_ITEM(item, 1), r.pathways[i])) return false;
    }
    return true;
}

// A non-negative Python int as unsigned 64 bits; a negative or huge one is
// a ValueError naming the parameter.
bool to_count(const char* parameter, PyObject* obj, std::uint64_t& out) {
    if (!PyIndex_Check(obj)) return to_u64(kRunGsea, parameter, obj, out);  // the binder's TypeError
    PyRef index = PyRef::steal(PyNumber_Index(obj));
    if (!index) return false;
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    if (value == -1 && PyErr_Occurred()) return false;
    if (overflow < 0 || (overflow == 0 && value < 0)) {
        return value_error(parameter, std::string(parameter) + " must not be negative");
    }
    if (overflow > 0) {
        const unsigned long long big = PyLong_AsUnsignedLongLong(index.get());
        if (PyErr_Occurred()) {
            PyErr_Clear();
            return value_error(parameter, std::string(parameter) + " must be less than 2**64");
        }
        out = big;
        return true;
    }
    out = static_cast<std::uint64_t>(value);
    return true;
}

bool to_optional_count(const char* parameter, PyObject* obj, std::optional<std::uint64_t>& out) {
    if (obj == Py_None) return true;
    out.emplace();
    return to_count(parameter, obj, *out);
}

// Settings no analysis can answer meaningfully, named by parameter: each
// row's bounds, then what the rows cannot say alone.
bool check_settings(const Settings& s) {
    for (const Parameter* p : package_parameters()) {
        if (auto problem = bounds_problem(*p, s)) return value_error(p->name, *problem);
    }
    if (s.max_size && s.min_size > *s.max_size) {
        return value_error("min_size", "min_size (" + std::to_string(s.min_size) + ") must not exceed max_size (" +
                                           std::to_string(*s.max_size) + ")");
    }
    return true;
}

// One row's value from its slot, by run_gsea's conventions (a negative
// count is a ValueError) or run_gsea_py's (an OverflowError).
bool convert(const char* f, const char* name, const Parameter& p, PyObject* obj, Settings& s, bool reference) {
    switch (p.kind) {
        case Kind::Count: return reference ? to_u64(f, name, obj, s.*p.count) : to_count(name, obj, s.*p.count);
        case Kind::OptionalCount:
            return reference ? to_optional_u64(f, name, obj, s.*p.optional_count)
                             : to_optional_count(name, obj, s.*p.optional_count);
        case Kind::Real: return to_double(f, name, obj, s.*p.real);
        case Kind::OptionalReal:
            if (obj == Py_None) return true;
            return to_double(f, name, obj, (s.*p.optional_real).emplace());
        case Kind::Text: return to_string(f, name, obj, s.*p.text);
        case Kind::Flag: return to_bool(f, name, obj, s.*p.flag);
        case Kind::Callback:
            if (obj == Py_None) return true;
            if (!PyCallable_Check(obj))
                return type_error("%s argument '%s' must be callable or None, not %.200s", name, obj);
            s.*p.callback = obj;
            return true;
    }
    return false;
}

bool check_stable_calls(const Request& r) {
    if (!r.settings.stable_calls) return true;
    const std::string mode = rsvelmo::unicode_lower(r.settings.mode);
    if (mode == "simple" || (mode == "velmo" && r.settings.nperm)) {
        return value_error("stable_calls",
                           "stable_calls settles calls with the multilevel estimator: use mode 'multilevel', or "
                           "'velmo' without nperm");
    }
    return true;
}

}  // namespace

bool parse_reference_arguments(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, ReferenceArguments& out) {
    const std::vector<const Parameter*>& rows = reference_parameters();
    static const std::vector<const char*> names = [&] {
        std::vector<const char*> out{"ranks", "gmt_path"};
        for (const Parameter* p : rows) out.push_back(p->reference);
        return out;
    }();
    std::vector<PyObject*> s(names.size());
    const Signature signature{kRunGseaPy, names, 2, static_cast<Py_ssize_t>(names.size())};
    if (!bind(signature, args, nargs, kwnames, s)) return false;
    // Converted in parameter order; the first failure wins.
    Settings& v = out.settings;
    if (!to_ranks(kRunGseaPy, "ranks", s[0], v.genes, v.scores) ||
        !to_string(kRunGseaPy, "gmt_path", s[1], out.gmt_path)) {
        return false;
    }
    for (std::size_t i = 0; i < rows.size(); ++i) {
        if (s[i + 2] && !convert(kRunGseaPy, rows[i]->reference, *rows[i], s[i + 2], v, true)) return false;
    }
    // The one check of its documented behaviour, before anything else is done.
    for (const Parameter* p : rows) {
        if (p->reference_message && p->count && static_cast<double>(v.*p->count) < p->reference_below) {
            raise_argument(p->reference, p->reference_message);
            return false;
        }
    }
    return true;
}

bool parse_request(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Request& r) {
    const std::vector<const Parameter*>& rows = package_parameters();
    static const std::vector<const char*> names = [&] {
        std::vector<const char*> out{"ranks", "gene_sets"};
        for (const Parameter* p : rows) out.push_back(p->name);
        return out;
    }();
    std::vector<PyObject*> s(names.size());
    const Signature signature{kRunGsea, names, 2, 2};
    if (!bind(signature, args, nargs, kwnames, s)) return false;
    Settings& v = r.settings;
    if (!to_ranks_any(s[0], v) || !to_gene_sets(s[1], r)) return false;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        if (s[i + 2] && !convert(kRunGsea, rows[i]->name, *rows[i], s[i + 2], v, false)) return false;
    }
    return check_settings(v) && check_stable_calls(r);
}

bool parse_path_argument(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, std::string& path) {
    static constexpr std::array<const char*, 1> kParameters = {"path"};
    std::array<PyObject*, 1> s;
    return bind({"read_gmt()", kParameters, 1, 1}, args, nargs, kwnames, s) &&
           to_path("read_gmt()", "path", s[0], path);
}

}  // namespace rsvelmopy
