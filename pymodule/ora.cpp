// ora_odds_ratios: the tables arrive as three buffers of 64-bit integers (a
// NumPy array each, without the module depending on NumPy) and the odds
// ratios leave as a bytes object of doubles, read back with numpy.frombuffer.
#include "ora_entry.hpp"

#include <array>
#include <cstdint>
#include <cstring>
#include <vector>

#include "convert.hpp"
#include "errors.hpp"
#include "ora.hpp"

namespace rsvelmopy {

const char kOraOddsRatiosDoc[] =
    "ora_odds_ratios(N, K, n, k)\n--\n\n"
    "The conditional maximum-likelihood odds ratios of 2 x 2 tables in a universe of N genes: K in\n"
    "the set, n in the list, k in both (0 and inf at the support's ends). K, n and k are\n"
    "C-contiguous buffers of 64-bit integers of one length. Returns a bytes object of doubles\n"
    "(native order), one per table, solved in parallel on the worker pool, each table on its own,\n"
    "so the values do not depend on the threads.\n";

namespace {

// struct's code of an 8-byte integer ("q", "<q", "l" as NumPy writes int64), native or little-endian order.
bool is_integer(const char* format) {
    const char* code = native_code(format);
    if (code == nullptr) return false;
    return (*code == 'q' || *code == 'l' || *code == 'Q' || *code == 'L') && code[1] == '\0';
}

// A column of 64-bit integers, its buffer held as long as the column.
class Buffer {
public:
    // False with an exception set when `obj` is not a contiguous buffer of 8-byte integers.
    bool take(const char* parameter, PyObject* obj) {
        if (!held_.acquire(obj, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT)) return false;
        if (held_.view().itemsize != 8 || !is_integer(held_.view().format)) {
            raise_argument(parameter, std::string(parameter) + " must hold 64-bit integers");
            return false;
        }
        return true;
    }
    std::size_t size() const { return static_cast<std::size_t>(held_.view().len / 8); }
    std::uint64_t operator[](std::size_t i) const {
        std::int64_t v;
        std::memcpy(&v, static_cast<const char*>(held_.view().buf) + 8 * i, 8);
        return v < 0 ? UINT64_MAX : static_cast<std::uint64_t>(v);  // a negative count: refused as too large
    }

private:
    HeldBuffer held_;
};

PyObject* doubles(const std::vector<double>& values) {
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(values.data()),
                                     static_cast<Py_ssize_t>(values.size() * sizeof(double)));
}

}  // namespace

PyObject* ora_odds_ratios(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr std::array<const char*, 4> kParameters = {"N", "K", "n", "k"};
    std::array<PyObject*, 4> slots{};
    std::uint64_t N = 0;
    if (!bind({"ora_odds_ratios()", kParameters, 4, 4}, args, PyVectorcall_NARGS(nargs), kwnames, slots) ||
        !to_u64("ora_odds_ratios()", "N", slots[0], N)) {
        return nullptr;
    }
    std::array<Buffer, 3> columns;
    for (std::size_t c = 0; c < 3; ++c) {
        if (!columns[c].take(kParameters[c + 1], slots[c + 1])) return nullptr;
    }
    if (columns[1].size() != columns[0].size() || columns[2].size() != columns[0].size()) {
        return raise_argument("k", "K, n and k must have one length");
    }
    std::vector<rsvelmo::ora::Table> tables(columns[0].size());
    for (std::size_t i = 0; i < tables.size(); ++i) tables[i] = {columns[0][i], columns[1][i], columns[2][i]};
    PyThreadState* released = PyEval_SaveThread();
    auto ratios = rsvelmo::ora::odds_ratios(N, tables);
    PyEval_RestoreThread(released);
    if (!ratios) return raise(ratios.failure(), Convention::Python);
    return doubles(ratios.value());
}

}  // namespace rsvelmopy
