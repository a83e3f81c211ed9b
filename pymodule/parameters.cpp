#include "parameters.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "core.hpp"
#include "pyref.hpp"

namespace rsvelmopy {

namespace {

// run_gsea_py's documented range of every count: any unsigned 64-bit value,
// brought into range by the analysis (OverflowError outside 64 bits).
constexpr const char* kAnyCount = "run_gsea_py takes any unsigned 64-bit count; the analysis brings it into range";

// The table. run_gsea_py's parameters keep their positional order: a row's
// place among the rows with a `reference` is its position after gmt_path.
const std::array<Parameter, 17> kTable = {{
    {.name = "mode",
     .reference = "mode",
     .kind = Kind::Text,
     .default_value = "velmo",
     .doc_type = "{'velmo', 'multilevel', 'simple'}",
     .doc = "'simple': permutations only. 'multilevel': permutations, then multilevel refinement of\n"
            "the p-values the permutations cannot resolve. 'velmo' (default): 'simple' with `nperm`\n"
            "permutations when `nperm` is given, else 'multilevel'.",
     .stub_type = "str",
     .text = &Settings::mode},
    {.name = "nperm",
     .reference = "nperm",
     .kind = Kind::OptionalCount,
     .default_value = "None",
     .lower = 1,
     .reference_rule = kAnyCount,
     .doc_type = "int, optional",
     .doc = "Permutations of the simple analysis ({bounds}).",
     .stub_type = "int | None",
     .optional_count = &Settings::nperm},
    {.name = "nperm_simple",
     .reference = "nPermSimple",
     .default_value = "1000",
     .lower = 1,
     .reference_rule = kAnyCount,
     .doc_type = "int",
     .doc = "Permutations before the multilevel refinement ({bounds}).",
     .stub_type = "int",
     .count = &Settings::nperm_simple},
    {.name = "seed",
     .reference = "seed",
     .default_value = "42",
     .lower = 0,
     .doc_type = "int",
     .doc = "Seed of every random stream; results do not depend on `threads`.",
     .stub_type = "int",
     .count = &Settings::seed},
    {.name = "threads",
     .reference = "nproc",
     .default_value = "0",
     .lower = 0,
     .doc_type = "int",
     .doc = "Size of the process-wide worker pool, fixed by the first call that creates it; 0 leaves\n"
            "the choice to the pool (RAYON_NUM_THREADS, else the hardware threads).",
     .stub_type = "int",
     .count = &Settings::threads},
    {.name = "min_size",
     .reference = "minSize",
     .default_value = "1",
     .lower = 1,
     .reference_rule = kAnyCount,
     .doc_type = "int",
     .doc = "Smallest size of a gene set among the ranked genes, inclusive ({bounds}).",
     .stub_type = "int",
     .count = &Settings::min_size},
    {.name = "max_size",
     .reference = "maxSize",
     .kind = Kind::OptionalCount,
     .default_value = "None",
     .lower = 1,
     .reference_rule = kAnyCount,
     .doc_type = "int, optional",
     .doc = "Largest size of a gene set among the ranked genes, inclusive ({bounds}; None: no bound).",
     .stub_type = "int | None",
     .optional_count = &Settings::max_size},
    {.name = "eps",
     .reference = "eps",
     .kind = Kind::Real,
     .default_value = "1e-50",
     .lower = 0,
     .upper = 1,
     .reference_rule = "run_gsea_py takes any real; the analysis brings it into [0, 1]",
     .doc_type = "float",
     .doc = "Smallest p-value the multilevel refinement computes, {bounds}. 0 asks for no bound: the\n"
            "estimator then stops where its p-value falls below e**-746, under which every estimate\n"
            "rounds to 0 (at most about 1076 levels, each halving the p-value).",
     .stub_type = "float",
     .real = &Settings::eps},
    {.name = "score_type",
     .reference = "scoreType",
     .kind = Kind::Text,
     .default_value = "std",
     .doc_type = "{'std', 'pos', 'neg'}",
     .doc = "Two-sided score, or the positive or negative deviation only.",
     .stub_type = "str",
     .text = &Settings::score_type},
    {.name = "gsea_param",
     .reference = "gseaParam",
     .kind = Kind::Real,
     .default_value = "1.0",
     .lower = 0,
     .reference_rule = "run_gsea_py takes any real; weights that are not finite are refused",
     .doc_type = "float",
     .doc = "Exponent of the score weights ({bounds}).",
     .stub_type = "float",
     .real = &Settings::gsea_param},
    {.name = "sample_size",
     .reference = "sampleSize",
     .default_value = "101",
     .lower = 3,
     .upper = static_cast<double>(kMaxSampleSize),
     .reference_rule = "run_gsea_py refuses only 0 (its documented message); a sample whose estimators "
                       "cannot fit in memory is a MemoryError in both entries",
     .reference_below = 1,
     .reference_message = "sampleSize must be greater than 0.",
     .doc_type = "int",
     .doc = "Sample size of the multilevel estimator ({bounds}).",
     .stub_type = "int",
     .count = &Settings::sample_size},
    {.name = "progress",
     .kind = Kind::Callback,
     .default_value = "None",
     .doc_type = "callable, optional",
     .doc = "Called as progress(stage, done, total) from the calling thread, at least every ~100 ms\n"
            "and between stages; stage is 'permutations' or 'multilevel'. An exception it raises\n"
            "stops the analysis and propagates.",
     .stub_type = "Callable[[str, int, int], object] | None",
     .callback = &Settings::progress},
    {.name = "refine_all",
     .kind = Kind::Flag,
     .default_value = "False",
     .doc_type = "bool",
     .doc = "With the multilevel analysis, refine every gene set, not only those whose permutation\n"
            "p-value is too coarse.",
     .stub_type = "bool",
     .flag = &Settings::refine_all},
    {.name = "diagnostics",
     .kind = Kind::Flag,
     .default_value = "True",
     .doc_type = "bool",
     .doc = "Whether to issue the RankingWarning diagnostics (callers that check rankings themselves\n"
            "turn them off).",
     .stub_type = "bool",
     .flag = &Settings::diagnostics},
    {.name = "stable_calls",
     .kind = Kind::OptionalReal,
     .default_value = "None",
     .lower = 0,
     .lower_open = true,
     .upper = 1,
     .noun = "a padj cut",
     .doc_type = "float, optional",
     .doc = "With the multilevel analysis, settle the calls at this padj cut, {bounds}: gene sets whose\n"
            "p-value lies within {settled} standard errors (log2err) of the Benjamini-Hochberg cut get\n"
            "new estimates with 4, 16, ... times `sample_size`, nearest the cut first, until they are\n"
            "that far or the new estimates would cost more than half the refinement's own.\n"
            "None (default): do not.",
     .stub_type = "float | None",
     .optional_real = &Settings::stable_calls},
    {.name = "flip_risk_cut",
     .kind = Kind::OptionalReal,
     .default_value = "None",
     .lower = 0,
     .lower_open = true,
     .upper = 1,
     .noun = "a padj cut",
     .doc_type = "float, optional",
     .doc = "Give each row its flip_risk at this padj cut, {bounds}: with log2(pval) taken as normal\n"
            "around the true value with standard error log2err, the chance that the true p-value lies\n"
            "on the other side of the line where the Benjamini-Hochberg calls end (0.5 at the line,\n"
            "below 0.005 at {settled} errors from it); 0.0 without an error (p at eps), None without\n"
            "a p-value. None (default): no flip_risk key.",
     .stub_type = "float | None",
     .optional_real = &Settings::flip_risk_cut},
    {.name = "gpu",
     .reference = "gpu",
     .package = false,
     .kind = Kind::Flag,
     .default_value = "False",
     .doc_type = "bool",
     .doc = "GPU execution, which this build does not have: True is a RuntimeError.",
     .stub_type = "bool",
     .flag = &Settings::gpu},
}};

// run_gsea_py's order after gmt_path; `mode` and `nperm` come late there.
constexpr std::array<const char*, 12> kReferenceOrder = {"nPermSimple", "seed",  "nproc",      "minSize",
                                                         "maxSize",     "eps",   "scoreType",  "gseaParam",
                                                         "mode",        "nperm", "sampleSize", "gpu"};

// A number as Python writes it, shortest first: 3, 0.5, 2.576, 1048576.
std::string number(double x) {
    if (std::isinf(x)) return x > 0 ? "inf" : "-inf";
    if (x == std::floor(x) && std::fabs(x) < 1e15) return std::to_string(static_cast<long long>(x));
    char text[32];
    const auto end = std::to_chars(text, text + sizeof text, x).ptr;
    return std::string(text, end);
}

bool counted(const Parameter& p) { return p.kind == Kind::Count || p.kind == Kind::OptionalCount; }
bool optional(const Parameter& p) {
    return p.kind == Kind::OptionalCount || p.kind == Kind::OptionalReal || p.kind == Kind::Callback;
}

std::string replace_all(std::string text, const std::string& what, const std::string& with) {
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + with.size())) {
        text.replace(at, what.size(), with);
    }
    return text;
}

}  // namespace

Settings::Settings() {
    for (const Parameter& p : kTable) {
        const char* v = p.default_value;
        const bool none = std::strcmp(v, "None") == 0;
        if (p.count) this->*p.count = std::strtoull(v, nullptr, 10);
        if (p.optional_count)
            this->*p.optional_count = none ? std::nullopt : std::optional(std::strtoull(v, nullptr, 10));
        if (p.real) this->*p.real = std::strtod(v, nullptr);
        if (p.optional_real) this->*p.optional_real = none ? std::nullopt : std::optional(std::strtod(v, nullptr));
        if (p.text) this->*p.text = v;
        if (p.flag) this->*p.flag = std::strcmp(v, "True") == 0;
        if (p.callback) this->*p.callback = nullptr;
    }
}

std::span<const Parameter> parameters() { return kTable; }

const std::vector<const Parameter*>& reference_parameters() {
    static const std::vector<const Parameter*> ordered = [] {
        std::vector<const Parameter*> out;
        for (const char* name : kReferenceOrder) {
            for (const Parameter& p : kTable) {
                if (p.reference != nullptr && std::strcmp(p.reference, name) == 0) out.push_back(&p);
            }
        }
        return out;
    }();
    return ordered;
}

std::string bounds_text(const Parameter& p) {
    const bool has_lower = p.lower > 0 || p.lower_open;  // counts are never below 0 anyway
    const bool has_upper = !std::isinf(p.upper);
    if (counted(p)) {
        std::string text = has_lower ? "at least " + number(p.lower) : "";
        if (has_upper) text += (text.empty() ? "" : ", ") + std::string("at most ") + number(p.upper);
        return text;
    }
    if (p.kind != Kind::Real && p.kind != Kind::OptionalReal) return "";
    if (has_upper) {
        return "in " + std::string(p.lower_open ? "(" : "[") + number(p.lower) + ", " + number(p.upper) + "]";
    }
    return "finite, at least " + number(p.lower);
}

std::optional<std::string> bounds_problem(const Parameter& p, const Settings& s) {
    const std::string name = p.name;
    if (counted(p)) {
        std::uint64_t value;
        if (p.count) {
            value = s.*p.count;
        } else if (auto given = s.*p.optional_count) {
            value = *given;
        } else {
            return std::nullopt;
        }
        const std::string none = optional(p) ? " (or None)" : "";
        if (static_cast<double>(value) < p.lower) return name + " must be at least " + number(p.lower) + none;
        if (static_cast<double>(value) > p.upper) return name + " must be at most " + number(p.upper) + none;
        return std::nullopt;
    }
    double value;
    if (p.real) {
        value = s.*p.real;
    } else if (p.optional_real && s.*p.optional_real) {
        value = *(s.*p.optional_real);
    } else {
        return std::nullopt;
    }
    const bool below = p.lower_open ? !(value > p.lower) : !(value >= p.lower);
    if (!below && value <= p.upper && std::isfinite(value)) return std::nullopt;
    const std::string shown = ", not " + rsvelmo::format_double(value);
    if (std::isinf(p.upper)) return name + " must be a finite number >= " + number(p.lower) + shown;
    const std::string range = bounds_text(p);  // "in [0, 1]"
    const std::string none = optional(p) ? " or None" : "";
    return p.noun ? name + " must be " + p.noun + " " + range + none + shown
                  : name + " must lie " + range + none + shown;
}

std::string doc_entry(const Parameter& p) {
    std::string doc = replace_all(p.doc, "{bounds}", bounds_text(p));
    doc = replace_all(doc, "{settled}", number(rsvelmo::kSettledAt));
    return std::string(p.name) + " : " + p.doc_type + "\n    " + replace_all(doc, "\n", "\n    ") + "\n";
}

std::string signature_item(const char* name, const Parameter& p, char quote) {
    const std::string value = p.kind == Kind::Text ? quote + std::string(p.default_value) + quote : p.default_value;
    return std::string(name) + "=" + value;
}

namespace {

PyRef number_or_none(const Parameter& p, double x) {
    if (std::isinf(x)) return PyRef::borrow(Py_None);
    if (counted(p)) return PyRef::steal(PyLong_FromDouble(x));
    return PyRef::steal(PyFloat_FromDouble(x));
}

PyRef default_of(const Parameter& p) {
    const Settings defaults;
    if (p.count) return PyRef::steal(PyLong_FromUnsignedLongLong(defaults.*p.count));
    if (p.real) return PyRef::steal(PyFloat_FromDouble(defaults.*p.real));
    if (p.text) return PyRef::steal(PyUnicode_FromString(p.default_value));
    if (p.flag) return PyRef::borrow(defaults.*p.flag ? Py_True : Py_False);
    return PyRef::borrow(Py_None);  // the optional ones and the callback default to None
}

PyRef text_or_none(const char* text) {
    return text ? PyRef::steal(PyUnicode_FromString(text)) : PyRef::borrow(Py_None);
}

PyRef entry_of(const Parameter& p) {
    const std::string doc = doc_entry(p);
    const std::string bounds = bounds_text(p);
    PyRef values[] = {default_of(p),
                      number_or_none(p, p.lower),
                      PyRef::borrow(p.lower_open ? Py_False : Py_True),
                      number_or_none(p, p.upper),
                      PyRef::steal(PyUnicode_FromString(bounds.c_str())),
                      PyRef::steal(PyUnicode_FromString(p.stub_type)),
                      text_or_none(p.reference),
                      PyRef::borrow(p.package ? Py_True : Py_False),
                      text_or_none(p.reference_rule),
                      PyRef::steal(PyUnicode_FromStringAndSize(doc.data(), static_cast<Py_ssize_t>(doc.size())))};
    static const char* const kKeys[] = {"default", "lower",     "lower_inclusive", "upper",          "bounds",
                                        "type",    "reference", "run_gsea",        "reference_rule", "doc"};
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) return {};
    for (std::size_t i = 0; i < std::size(kKeys); ++i) {
        if (!values[i] || PyDict_SetItemString(dict.get(), kKeys[i], values[i].get()) < 0) return {};
    }
    return PyRef::steal(PyDictProxy_New(dict.get()));
}

}  // namespace

PyObject* build_parameter_table() {
    PyRef table = PyRef::steal(PyDict_New());
    if (!table) return nullptr;
    for (const Parameter& p : kTable) {
        PyRef entry = entry_of(p);
        if (!entry || PyDict_SetItemString(table.get(), p.name, entry.get()) < 0) return nullptr;
    }
    return PyDictProxy_New(table.get());
}

}  // namespace rsvelmopy
