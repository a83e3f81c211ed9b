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
constexpr std::array<const char*, 14> kRunGseaPyParameters = {
    "ranks", "gmt_path",  "nPermSimple", "seed", "nproc", "minSize",    "maxSize",
    "eps",   "scoreType", "gseaParam",   "mode", "nperm", "sampleSize", "gpu"};

constexpr const char* kRunGsea = "run_gsea()";
constexpr std::array<const char*, 17> kRunGseaParameters = {
    "ranks",       "gene_sets", "mode",       "nperm",       "nperm_simple", "seed",
    "threads",     "min_size",  "max_size",   "eps",         "score_type",   "gsea_param",
    "sample_size", "progress",  "refine_all", "diagnostics", "stable_calls"};

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

// Settings no analysis can answer meaningfully, named by parameter.
bool check_settings(const Settings& s) {
    if (s.nperm && *s.nperm < 1) return value_error("nperm", "nperm must be at least 1 (or None)");
    if (s.nperm_simple < 1) return value_error("nperm_simple", "nperm_simple must be at least 1");
    if (s.min_size < 1) return value_error("min_size", "min_size must be at least 1");
    if (s.max_size && *s.max_size < 1) return value_error("max_size", "max_size must be at least 1 (or None)");
    if (s.max_size && s.min_size > *s.max_size) {
        return value_error("min_size", "min_size (" + std::to_string(s.min_size) + ") must not exceed max_size (" +
                                           std::to_string(*s.max_size) + ")");
    }
    if (!(s.eps >= 0.0 && s.eps <= 1.0)) {
        return value_error("eps", "eps must lie in [0, 1], not " + rsvelmo::format_double(s.eps));
    }
    if (!(std::isfinite(s.gsea_param) && s.gsea_param >= 0.0)) {
        return value_error("gsea_param",
                           "gsea_param must be a finite number >= 0, not " + rsvelmo::format_double(s.gsea_param));
    }
    if (s.sample_size < 3) return value_error("sample_size", "sample_size must be at least 3");
    return true;
}

bool check_stable_calls(const Request& r) {
    if (!r.stable_calls) return true;
    if (!(*r.stable_calls > 0.0 && *r.stable_calls <= 1.0)) {
        return value_error("stable_calls", "stable_calls must be a padj cut in (0, 1] or None, not " +
                                               rsvelmo::format_double(*r.stable_calls));
    }
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
    std::array<PyObject*, kRunGseaPyParameters.size()> s;
    const Signature signature{kRunGseaPy, kRunGseaPyParameters, 2, kRunGseaPyParameters.size()};
    if (!bind(signature, args, nargs, kwnames, s)) return false;
    // Converted in parameter order; the first failure wins.
    const char* f = kRunGseaPy;
    Settings& v = out.settings;
    return to_ranks(f, "ranks", s[0], v.genes, v.scores) && to_string(f, "gmt_path", s[1], out.gmt_path) &&
           (!s[2] || to_u64(f, "nPermSimple", s[2], v.nperm_simple)) && (!s[3] || to_u64(f, "seed", s[3], v.seed)) &&
           (!s[4] || to_u64(f, "nproc", s[4], v.threads)) && (!s[5] || to_u64(f, "minSize", s[5], v.min_size)) &&
           (!s[6] || to_optional_u64(f, "maxSize", s[6], v.max_size)) && (!s[7] || to_double(f, "eps", s[7], v.eps)) &&
           (!s[8] || to_string(f, "scoreType", s[8], v.score_type)) &&
           (!s[9] || to_double(f, "gseaParam", s[9], v.gsea_param)) &&
           (!s[10] || to_string(f, "mode", s[10], v.mode)) && (!s[11] || to_optional_u64(f, "nperm", s[11], v.nperm)) &&
           (!s[12] || to_u64(f, "sampleSize", s[12], v.sample_size)) && (!s[13] || to_bool(f, "gpu", s[13], out.gpu));
}

bool parse_request(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Request& r) {
    std::array<PyObject*, kRunGseaParameters.size()> s;
    const Signature signature{kRunGsea, kRunGseaParameters, 2, 2};
    if (!bind(signature, args, nargs, kwnames, s)) return false;
    const char* f = kRunGsea;
    Settings& v = r.settings;
    if (!(to_ranks_any(s[0], v) && to_gene_sets(s[1], r) && (!s[2] || to_string(f, "mode", s[2], v.mode)) &&
          (!s[3] || to_optional_count("nperm", s[3], v.nperm)) &&
          (!s[4] || to_count("nperm_simple", s[4], v.nperm_simple)) && (!s[5] || to_count("seed", s[5], v.seed)) &&
          (!s[6] || to_count("threads", s[6], v.threads)) && (!s[7] || to_count("min_size", s[7], v.min_size)) &&
          (!s[8] || to_optional_count("max_size", s[8], v.max_size)) && (!s[9] || to_double(f, "eps", s[9], v.eps)) &&
          (!s[10] || to_string(f, "score_type", s[10], v.score_type)) &&
          (!s[11] || to_double(f, "gsea_param", s[11], v.gsea_param)) &&
          (!s[12] || to_count("sample_size", s[12], v.sample_size)))) {
        return false;
    }
    if (s[13] != nullptr && s[13] != Py_None) {
        if (!PyCallable_Check(s[13]))
            return type_error("%s argument '%s' must be callable or None, not %.200s", "progress", s[13]);
        r.progress = s[13];
    }
    return (!s[14] || to_bool(f, "refine_all", s[14], r.refine_all)) &&
           (!s[15] || to_bool(f, "diagnostics", s[15], r.diagnostics)) &&
           (!s[16] || s[16] == Py_None || to_double(f, "stable_calls", s[16], r.stable_calls.emplace())) &&
           check_settings(v) && check_stable_calls(r);
}

bool parse_path_argument(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, std::string& path) {
    static constexpr std::array<const char*, 1> kParameters = {"path"};
    std::array<PyObject*, 1> s;
    return bind({"read_gmt()", kParameters, 1, 1}, args, nargs, kwnames, s) &&
           to_path("read_gmt()", "path", s[0], path);
}

}  // namespace rsvelmopy
