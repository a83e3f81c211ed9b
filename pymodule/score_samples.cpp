#include "score_samples.hpp"

#include <array>
#include <cstring>
#include <limits>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "bindings.hpp"
#include "convert.hpp"
#include "errors.hpp"
#include "pyref.hpp"
#include "sample_scores.hpp"

namespace rsvelmopy {

const char kScoreSamplesDoc[] =
    "score_samples(matrix, gene_sets, *, method='gsva', kcdf='gaussian', tau=None, mx_diff=True, "
    "abs_ranking=False, ssgsea_norm=True, min_size=1, max_size=None, chunk_samples=0, threads=0, "
    "columns=None)\n--\n\n"
    "Score gene sets in every sample as Bioconductor GSVA 1.46's gsva() does.\n\n"
    "Parameters\n----------\n"
    "matrix : buffer\n"
    "    Expression, genes x samples: a C-contiguous two-dimensional float64 buffer (a numpy array).\n"
    "gene_sets : sequence of sequences of int\n"
    "    Each set as row indices of `matrix`, each row at most once per set.\n"
    "method : {'gsva', 'ssgsea', 'zscore', 'plage'}\n"
    "kcdf : {'gaussian', 'poisson', 'none'}\n"
    "    gsva's kernel: Gaussian for log-scale values, Poisson for counts, none for the empirical CDF.\n"
    "tau : float, optional\n"
    "    Exponent of the walk's weights; None: 1 for gsva, 0.25 for ssgsea.\n"
    "mx_diff, abs_ranking : bool\n"
    "    gsva's score: the largest positive plus the largest negative deviation (mx_diff), their\n"
    "    difference (with abs_ranking), or the larger one in absolute value (mx_diff False).\n"
    "ssgsea_norm : bool\n"
    "    ssgsea: divide every score by the range of the whole score matrix.\n"
    "min_size, max_size : int\n"
    "    Bounds on a set's size among the genes scored; other sets get NaN scores.\n"
    "chunk_samples : int\n"
    "    Samples scored together (0: chosen so that a chunk's working set is about 64 MB).\n"
    "threads : int\n"
    "    Size of the process-wide worker pool, fixed by the first call that creates it (0: the pool's\n"
    "    choice). The scores do not depend on it.\n"
    "columns : (int, int), optional\n"
    "    Score only the samples start <= j < stop; what depends on every sample (the kernel CDFs, the\n"
    "    constant genes, the standardisation, PLAGE's vector) still comes from the whole matrix, so each\n"
    "    cell has the bits of the whole run. None: every sample. Refused for normalised ssgsea on part\n"
    "    of the samples.\n\n"
    "Returns\n-------\n"
    "dict\n"
    "    'scores': a bytearray of sets x samples (those scored) float64 values in row order (numpy.frombuffer\n"
    "    reads it without a copy), 'shape': (sets, samples), 'sizes': each set's genes among those\n"
    "    scored, 'scored': whether each set was scored, 'constant_genes': the rows with standard\n"
    "    deviation below 1e-10, 'constant_dropped': whether they were left out (all methods but ssgsea).\n";

namespace {

using rsvelmo::Error;
namespace sc = rsvelmo::scores;

constexpr const char* kFunction = "score_samples()";

// A (start, stop) pair of column indices, or None for every column.
bool to_columns(PyObject* obj, sc::Options& o) {
    if (obj == nullptr || obj == Py_None) return true;
    PyRef pair = PyRef::steal(PySequence_Fast(obj, "columns must be None or a (start, stop) pair of sample indices"));
    if (!pair) return false;
    if (PySequence_Fast_GET_SIZE(pair.get()) != 2) {
        raise_argument("columns", "columns must be None or a (start, stop) pair of sample indices");
        return false;
    }
    std::uint64_t start = 0;
    std::uint64_t stop = 0;
    if (!to_u64(kFunction, "columns", PySequence_Fast_GET_ITEM(pair.get(), 0), start) ||
        !to_u64(kFunction, "columns", PySequence_Fast_GET_ITEM(pair.get(), 1), stop))
        return false;
    o.column_begin = static_cast<std::size_t>(start);
    // The engine reads the largest size_t as "to the last sample": a stop that
    // large is out of range anyway.
    o.column_end = stop == std::numeric_limits<std::size_t>::max() ? 0 : static_cast<std::size_t>(stop);
    return true;
}

bool to_gene_sets(PyObject* obj, std::vector<std::vector<std::size_t>>& sets) {
    PyRef outer = PyRef::steal(PySequence_Fast(obj, "gene_sets must be a sequence of sequences of row indices"));
    if (!outer) return false;
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(outer.get());
    sets.resize(static_cast<std::size_t>(count));
    for (Py_ssize_t s = 0; s < count; ++s) {
        PyRef inner = PyRef::steal(PySequence_Fast(PySequence_Fast_GET_ITEM(outer.get(), s),
                                                   "each gene set must be a sequence of row indices"));
        if (!inner) return false;
        const Py_ssize_t size = PySequence_Fast_GET_SIZE(inner.get());
        auto& set = sets[static_cast<std::size_t>(s)];
        set.reserve(static_cast<std::size_t>(size));
        for (Py_ssize_t i = 0; i < size; ++i) {
            PyRef index = PyRef::steal(PyNumber_Index(PySequence_Fast_GET_ITEM(inner.get(), i)));
            if (!index) return false;
            const std::size_t row = PyLong_AsSize_t(index.get());
            if (row == static_cast<std::size_t>(-1) && PyErr_Occurred()) return false;
            set.push_back(row);
        }
    }
    return true;
}

std::optional<sc::Method> method_of(const std::string& name) {
    if (name == "gsva") return sc::Method::Gsva;
    if (name == "ssgsea") return sc::Method::Ssgsea;
    if (name == "zscore") return sc::Method::Zscore;
    if (name == "plage") return sc::Method::Plage;
    return std::nullopt;
}

std::optional<sc::Kcdf> kcdf_of(const std::string& name) {
    if (name == "gaussian") return sc::Kcdf::Gaussian;
    if (name == "poisson") return sc::Kcdf::Poisson;
    if (name == "none") return sc::Kcdf::None;
    return std::nullopt;
}

PyObject* index_list(const std::vector<std::size_t>& values) {
    return new_list(values.size(), [&](std::size_t i) { return PyLong_FromSize_t(values[i]); });
}

PyObject* build_scores(const sc::Scores& scores) {
    const auto bytes = static_cast<Py_ssize_t>(scores.values.size() * sizeof(double));
    PyRef values = PyRef::steal(PyByteArray_FromStringAndSize(nullptr, bytes));
    if (!values) return nullptr;
    if (bytes > 0) std::memcpy(PyByteArray_AS_STRING(values.get()), scores.values.data(), static_cast<size_t>(bytes));
    PyRef shape = PyRef::steal(
        Py_BuildValue("(nn)", static_cast<Py_ssize_t>(scores.sets), static_cast<Py_ssize_t>(scores.samples)));
    PyRef sizes = PyRef::steal(index_list(scores.sizes));
    PyRef constant = PyRef::steal(index_list(scores.constant_genes));
    PyRef scored = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(scores.scored.size())));
    if (!shape || !sizes || !constant || !scored) return nullptr;
    for (std::size_t i = 0; i < scores.scored.size(); ++i)
        PyList_SET_ITEM(scored.get(), static_cast<Py_ssize_t>(i), PyBool_FromLong(scores.scored[i]));
    PyRef out = PyRef::steal(PyDict_New());
    if (!out) return nullptr;
    const std::array<std::pair<const char*, PyObject*>, 6> items = {{
        {"scores", values.get()},
        {"shape", shape.get()},
        {"sizes", sizes.get()},
        {"scored", scored.get()},
        {"constant_genes", constant.get()},
        {"constant_dropped", scores.constant_dropped ? Py_True : Py_False},
    }};
    for (const auto& [key, value] : items)
        if (PyDict_SetItemString(out.get(), key, value) != 0) return nullptr;
    return out.release();
}

}  // namespace

PyObject* score_samples(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr std::array<const char*, 13> kParameters = {
        "matrix",      "gene_sets", "method",   "kcdf",          "tau",     "mx_diff", "abs_ranking",
        "ssgsea_norm", "min_size",  "max_size", "chunk_samples", "threads", "columns"};
    std::array<PyObject*, kParameters.size()> s{};
    if (!bind({kFunction, kParameters, 2, 2}, args, PyVectorcall_NARGS(nargs), kwnames, s)) return nullptr;

    std::string method_name = "gsva";
    std::string kcdf_name = "gaussian";
    sc::Options o;
    std::uint64_t min_size = 1;
    std::uint64_t chunk = 0;
    std::uint64_t threads = 0;
    std::optional<std::uint64_t> max_size;
    double tau = 0.0;
    const bool has_tau = s[4] != nullptr && s[4] != Py_None;
    if (!((!s[2] || to_string(kFunction, "method", s[2], method_name)) &&
          (!s[3] || to_string(kFunction, "kcdf", s[3], kcdf_name)) &&
          (!has_tau || to_double(kFunction, "tau", s[4], tau)) &&
          (!s[5] || to_bool(kFunction, "mx_diff", s[5], o.mx_diff)) &&
          (!s[6] || to_bool(kFunction, "abs_ranking", s[6], o.abs_ranking)) &&
          (!s[7] || to_bool(kFunction, "ssgsea_norm", s[7], o.ssgsea_norm)) &&
          (!s[8] || to_u64(kFunction, "min_size", s[8], min_size)) &&
          (!s[9] || to_optional_u64(kFunction, "max_size", s[9], max_size)) &&
          (!s[10] || to_u64(kFunction, "chunk_samples", s[10], chunk)) &&
          (!s[11] || to_u64(kFunction, "threads", s[11], threads)) && to_columns(s[12], o))) {
        return nullptr;
    }
    const auto method = method_of(method_name);
    if (!method)
        return raise_argument("method",
                              "method must be one of 'gsva', 'ssgsea', 'zscore', 'plage', not '" + method_name + "'");
    const auto kcdf = kcdf_of(kcdf_name);
    if (!kcdf)
        return raise_argument("kcdf", "kcdf must be one of 'gaussian', 'poisson', 'none', not '" + kcdf_name + "'");
    o.method = *method;
    o.kcdf = *kcdf;
    if (has_tau) o.tau = tau;
    o.min_size = static_cast<std::size_t>(min_size);
    if (max_size) o.max_size = static_cast<std::size_t>(*max_size);
    o.chunk_samples = static_cast<std::size_t>(chunk);

    // The exporter refuses a layout that is not C-contiguous with its own error.
    HeldBuffer buffer;
    if (!buffer.acquire(s[0], PyBUF_C_CONTIGUOUS | PyBUF_FORMAT)) return nullptr;
    const Py_buffer& view = buffer.view();
    if (matrix_fault(view) != MatrixFault::None)
        return raise_argument("matrix", "matrix must be a two-dimensional float64 array (genes x samples)");
    std::vector<std::vector<std::size_t>> sets;
    if (!to_gene_sets(s[1], sets)) return nullptr;

    rsvelmo::configure_pool(threads);
    const sc::MatrixView matrix{static_cast<const double*>(view.buf), static_cast<std::size_t>(view.shape[0]),
                                static_cast<std::size_t>(view.shape[1])};
    std::optional<rsvelmo::Result<sc::Scores>> result;
    std::optional<Error> failure;  // a C++ exception is reported, never let through the C boundary
    // The buffer stays held while the lock is released; its exporter (a
    // numpy array) cannot be resized while a buffer is exported.
    PyThreadState* released = PyEval_SaveThread();
    try {
        result.emplace(sc::score_samples(matrix, sets, o));
    } catch (const std::bad_alloc&) {
        failure = Error::of(Error::Kind::OutOfMemory, "out of memory");
    } catch (const std::exception& e) {
        failure = Error::of(Error::Kind::Internal, std::string("scoring failed: ") + e.what());
    }
    PyEval_RestoreThread(released);
    if (failure) return raise(*failure, Convention::Python);
    if (!*result) return raise(result->failure(), Convention::Python);
    return build_scores(result->value());
}

}  // namespace rsvelmopy
