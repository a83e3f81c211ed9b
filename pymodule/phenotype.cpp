#include "phenotype.hpp"

#include <array>
#include <cstring>
#include <limits>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "../src/phenotype.hpp"
#include "bindings.hpp"
#include "convert.hpp"
#include "errors.hpp"
#include "pyref.hpp"

namespace rsvelmopy {

const char kRunPhenotypeDoc[] =
    "run_phenotype(matrix, labels, gene_sets, *, metric='signal_to_noise', permutations='auto', nperm=1000, "
    "weight=1.0, seed=42, threads=0)\n--\n\n"
    "Gene set enrichment with a null made by permuting the sample labels.\n\n"
    "Parameters\n----------\n"
    "matrix : buffer\n"
    "    Genes x samples, C-contiguous float64 (a 2-D numpy array), every value finite.\n"
    "labels : sequence of bool or int\n"
    "    One per sample (column): true or 1 for class A, false or 0 for class B.\n"
    "gene_sets : sequence of sequences of int\n"
    "    Each a list of distinct row indices, at least 1 and fewer than the rows (no size filter\n"
    "    is applied here).\n"
    "metric : {'signal_to_noise', 't_test', 'diff_of_classes', 'ratio_of_classes', "
    "'log2_ratio_of_classes'}\n"
    "    Positive when higher in class A.\n"
    "permutations : {'auto', 'exact', 'random'}\n"
    "    'exact': every assignment of the labels keeping the class sizes (the observed one among\n"
    "    them), at most 1,000,000; 'random': `nperm` shuffles, the n-th being R's n-th\n"
    "    sample(labels) after set.seed(seed); 'auto': exact when there are at most `nperm`.\n"
    "nperm : int\n"
    "    Random permutations (at least 1), and the bound of 'auto'.\n"
    "weight : float\n"
    "    Exponent of |metric| in the hit steps (finite, at least 0).\n"
    "seed : int\n"
    "    Seed of the shuffles; results do not depend on `threads`.\n"
    "threads : int\n"
    "    Size of the process-wide worker pool when it is created by this call (0: the default).\n\n"
    "Returns\n-------\n"
    "dict\n"
    "    'sets': one dict per gene set, in the order given, with es, nes, pval, fdr, fwer (float;\n"
    "    nes, fdr and fwer NaN when the null has no ES of the observed sign), leading_edge (row\n"
    "    indices in ranked order) and leading_edge_size; 'metric': the observed metric per row;\n"
    "    'order': the rows in ranked order (metric descending, ties by row); 'permutations': the\n"
    "    number of assignments in the null; 'exact': whether they were all of them.\n\n"
    "Raises\n------\n"
    "TypeError\n"
    "    An argument of the wrong type.\n"
    "ValueError\n"
    "    A matrix that is not 2-D float64 C-contiguous or holds a value that is not finite,\n"
    "    labels not one per column, a class too small for the metric, a bad gene set or setting.\n";

namespace {

namespace ph = rsvelmo::phenotype;

constexpr const char* kFunction = "run_phenotype()";
constexpr std::array<const char*, 9> kParameters = {"matrix", "labels", "gene_sets", "metric", "permutations",
                                                    "nperm",  "weight", "seed",      "threads"};

bool type_error(const char* parameter, const char* expected, PyObject* found) {
    PyErr_Format(PyExc_TypeError, "%s argument '%s' must be %s, not %.200s", kFunction, parameter, expected,
                 Py_TYPE(found)->tp_name);
    return false;
}

bool value_error(const char* parameter, const std::string& message) {
    raise_argument(parameter, message);
    return false;
}

bool to_matrix(PyObject* obj, std::vector<double>& values, std::size_t& rows, std::size_t& columns) {
    if (!PyObject_CheckBuffer(obj)) return type_error("matrix", "a 2-D float64 array", obj);
    HeldBuffer buffer;
    if (!buffer.acquire(obj, PyBUF_RECORDS_RO)) return false;
    const Py_buffer& v = buffer.view();
    switch (matrix_fault(v)) {
        case MatrixFault::Dimensions:
            return value_error("matrix", "matrix: expected a 2-D array (genes x samples), got " +
                                             std::to_string(v.ndim) + " dimension(s)");
        case MatrixFault::Values:
            return value_error("matrix", std::string("matrix: expected float64 values, got format '") +
                                             (v.format ? v.format : "B") + "'");
        case MatrixFault::Layout:
            return value_error("matrix", "matrix: expected a C-contiguous array (numpy.ascontiguousarray)");
        case MatrixFault::None: break;
    }
    rows = static_cast<std::size_t>(v.shape[0]);
    columns = static_cast<std::size_t>(v.shape[1]);
    const auto* data = static_cast<const double*>(v.buf);
    values.assign(data, data + rows * columns);  // the engine's own copy: the array may change once the lock is free
    return true;
}

bool to_labels(PyObject* obj, std::vector<std::uint8_t>& labels) {
    if (PyUnicode_Check(obj) || PyBytes_Check(obj)) return type_error("labels", "a sequence of bool or int", obj);
    PyRef items = PyRef::steal(PySequence_Fast(obj, "run_phenotype() argument 'labels' must be a sequence"));
    if (!items) return false;
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(items.get());
    labels.resize(static_cast<std::size_t>(n));
    for (Py_ssize_t j = 0; j < n; ++j) {
        PyObject* item = PySequence_Fast_GET_ITEM(items.get(), j);
        const char* name = Py_TYPE(item)->tp_name;
        long long value;
        if (PyBool_Check(item) || std::strcmp(name, "numpy.bool") == 0 || std::strcmp(name, "numpy.bool_") == 0) {
            const int truth = PyObject_IsTrue(item);
            if (truth < 0) return false;
            value = truth;
        } else if (PyIndex_Check(item)) {
            PyRef index = PyRef::steal(PyNumber_Index(item));
            if (!index) return false;
            int overflow = 0;
            value = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
            if (value == -1 && PyErr_Occurred()) return false;
            if (overflow != 0) value = 2;
        } else {
            PyErr_Format(PyExc_TypeError, "%s argument 'labels': item %zd must be a bool or int, not %.200s", kFunction,
                         j, name);
            return false;
        }
        if (value != 0 && value != 1) {
            return value_error("labels", "labels: item " + std::to_string(j) + " is neither 0 nor 1");
        }
        labels[static_cast<std::size_t>(j)] = static_cast<std::uint8_t>(value);
    }
    return true;
}

bool to_sets(PyObject* obj, std::vector<std::vector<std::uint32_t>>& sets) {
    if (PyUnicode_Check(obj) || PyBytes_Check(obj)) return type_error("gene_sets", "a sequence of sequences", obj);
    PyRef outer = PyRef::steal(PySequence_Fast(obj, "run_phenotype() argument 'gene_sets' must be a sequence"));
    if (!outer) return false;
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(outer.get());
    sets.resize(static_cast<std::size_t>(count));
    for (Py_ssize_t s = 0; s < count; ++s) {
        PyObject* set = PySequence_Fast_GET_ITEM(outer.get(), s);
        if (PyUnicode_Check(set) || PyBytes_Check(set) || !PySequence_Check(set)) {
            PyErr_Format(PyExc_TypeError, "%s argument 'gene_sets': gene set %zd must be a sequence of int, not %.200s",
                         kFunction, s, Py_TYPE(set)->tp_name);
            return false;
        }
        PyRef rows = PyRef::steal(PySequence_Fast(set, "gene set is not a sequence"));
        if (!rows) return false;
        const Py_ssize_t size = PySequence_Fast_GET_SIZE(rows.get());
        auto& out = sets[static_cast<std::size_t>(s)];
        out.resize(static_cast<std::size_t>(size));
        for (Py_ssize_t i = 0; i < size; ++i) {
            PyObject* item = PySequence_Fast_GET_ITEM(rows.get(), i);
            if (!PyIndex_Check(item) || PyBool_Check(item)) {
                PyErr_Format(PyExc_TypeError, "%s argument 'gene_sets': gene set %zd holds %.200s, not a row index",
                             kFunction, s, Py_TYPE(item)->tp_name);
                return false;
            }
            PyRef index = PyRef::steal(PyNumber_Index(item));
            if (!index) return false;
            int overflow = 0;
            const long long row = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
            if (row == -1 && PyErr_Occurred()) return false;
            if (overflow != 0 || row < 0 || row > std::numeric_limits<std::uint32_t>::max()) {
                PyRef text = PyRef::steal(PyObject_Repr(index.get()));
                Py_ssize_t length = 0;
                const char* utf8 = text ? utf8_of(text.get(), length) : nullptr;
                if (utf8 == nullptr) return false;
                return value_error("gene_sets", "gene_sets: gene set " + std::to_string(s) + " names row " +
                                                    std::string(utf8, static_cast<std::size_t>(length)));
            }
            out[static_cast<std::size_t>(i)] = static_cast<std::uint32_t>(row);
        }
    }
    return true;
}

struct Call {
    std::vector<double> values;
    std::size_t rows = 0, columns = 0;
    std::vector<std::uint8_t> labels;
    std::vector<std::vector<std::uint32_t>> sets;
    ph::Settings settings;
    std::uint64_t threads = 0;
};

bool parse(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Call& c) {
    std::array<PyObject*, kParameters.size()> s;
    if (!bind({kFunction, kParameters, 3, 3}, args, nargs, kwnames, s)) return false;
    std::string metric = "signal_to_noise", permutations = "auto";
    if (!(to_matrix(s[0], c.values, c.rows, c.columns) && to_labels(s[1], c.labels) && to_sets(s[2], c.sets) &&
          (!s[3] || to_string(kFunction, "metric", s[3], metric)) &&
          (!s[4] || to_string(kFunction, "permutations", s[4], permutations)) &&
          (!s[5] || to_u64(kFunction, "nperm", s[5], c.settings.nperm)) &&
          (!s[6] || to_double(kFunction, "weight", s[6], c.settings.weight)) &&
          (!s[7] || to_u64(kFunction, "seed", s[7], c.settings.seed)) &&
          (!s[8] || to_u64(kFunction, "threads", s[8], c.threads)))) {
        return false;
    }
    const auto parsed_metric = ph::parse_metric(metric);
    if (!parsed_metric) {
        return value_error("metric",
                           "metric must be one of 'signal_to_noise', 't_test', 'diff_of_classes', 'ratio_of_classes', "
                           "'log2_ratio_of_classes', not '" +
                               metric + "'");
    }
    const auto parsed_permutations = ph::parse_permutations(permutations);
    if (!parsed_permutations) {
        return value_error("permutations",
                           "permutations must be one of 'auto', 'exact', 'random', not '" + permutations + "'");
    }
    c.settings.metric = *parsed_metric;
    c.settings.permutations = *parsed_permutations;
    return true;
}

PyRef row_list(const std::vector<std::uint32_t>& rows) {
    return PyRef::steal(new_list(rows.size(), [&](std::size_t i) { return PyLong_FromUnsignedLong(rows[i]); }));
}

PyRef set_dict(const ph::SetResult& r) {
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) return {};
    static const char* const kKeys[] = {"es", "nes", "pval", "fdr", "fwer", "leading_edge", "leading_edge_size"};
    PyRef values[] = {
        PyRef::steal(PyFloat_FromDouble(r.es)),
        PyRef::steal(PyFloat_FromDouble(r.nes)),
        PyRef::steal(PyFloat_FromDouble(r.pval)),
        PyRef::steal(PyFloat_FromDouble(r.fdr)),
        PyRef::steal(PyFloat_FromDouble(r.fwer)),
        row_list(r.leading_edge),
        PyRef::steal(PyLong_FromSize_t(r.leading_edge.size())),
    };
    for (std::size_t i = 0; i < std::size(kKeys); ++i) {
        if (!values[i] || PyDict_SetItemString(dict.get(), kKeys[i], values[i].get()) < 0) return {};
    }
    return dict;
}

PyObject* build(const ph::Analysis& a) {
    PyRef sets = PyRef::steal(new_list(a.sets.size(), [&](std::size_t i) { return set_dict(a.sets[i]).release(); }));
    if (!sets) return nullptr;
    PyRef metric =
        PyRef::steal(new_list(a.metric.size(), [&](std::size_t g) { return PyFloat_FromDouble(a.metric[g]); }));
    if (!metric) return nullptr;
    PyRef order = row_list(a.order);
    PyRef permutations = PyRef::steal(PyLong_FromUnsignedLongLong(a.permutations));
    PyRef result = PyRef::steal(PyDict_New());
    if (!order || !permutations || !result) return nullptr;
    static const char* const kKeys[] = {"sets", "metric", "order", "permutations", "exact"};
    PyObject* values[] = {sets.get(), metric.get(), order.get(), permutations.get(), a.exact ? Py_True : Py_False};
    for (std::size_t i = 0; i < std::size(kKeys); ++i) {
        if (PyDict_SetItemString(result.get(), kKeys[i], values[i]) < 0) return nullptr;
    }
    return result.release();
}

}  // namespace

PyObject* run_phenotype(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Call c;
    if (!parse(args, PyVectorcall_NARGS(nargs), kwnames, c)) return nullptr;
    rsvelmo::configure_pool(c.threads);
    std::optional<rsvelmo::Result<ph::Analysis>> outcome;
    std::optional<rsvelmo::Error> failure;  // a C++ exception is reported, never let through the C boundary
    PyThreadState* released = PyEval_SaveThread();
    try {
        outcome.emplace(ph::run({c.values.data(), c.rows, c.columns}, c.labels, c.sets, c.settings));
    } catch (const std::bad_alloc&) {
        failure = rsvelmo::Error::of(rsvelmo::Error::Kind::OutOfMemory, "out of memory");
    } catch (const std::exception& e) {
        failure = rsvelmo::Error::of(rsvelmo::Error::Kind::Internal, std::string("the analysis failed: ") + e.what());
    }
    PyEval_RestoreThread(released);
    if (failure) return raise(*failure, Convention::Python);
    if (!*outcome) return raise(outcome->failure(), Convention::Python);
    return build(outcome->value());
}

}  // namespace rsvelmopy
